#pragma once

#include <QList>
#include <QString>

// The program's dialog templates, held as data the way a resource script
// holds them. Positions and sizes are in dialog units.

enum class ControlKind {
    PushButton,
    DefaultPushButton,
    Static,
    CentredStatic, // a static whose text is centred in its rectangle
    GroupBox,
    Edit,
    TabControl,
    ListView
};

struct ControlTemplate {
    int id; // -1 for controls without an id
    ControlKind kind;
    QString text;
    int x, y, width, height;
    bool visible = true;
    bool tabStop = true;
    bool disabled = false;
};

struct DialogTemplate {
    int id;
    QString caption;
    int pointSize;
    int width, height;
    QList<ControlTemplate> controls;
};

// Template ids.
enum : int {
    IDD_MAIN = 102,
    IDD_IMAGE_PAGE = 129,
    IDD_APK_PAGE = 130,
    IDD_SETTINGS_PAGE = 131,
    IDD_BUSY = 137,
};

// Control ids.
enum : int {
    IDC_SAVE = 1,
    IDC_CANCEL = 2,
    IDC_TAB = 1000,
    IDC_PACKAGE_PATH = 1001,
    IDC_BROWSE = 1002,
    IDC_APK_LIST = 1003,
    IDC_APK_DELETE = 1004,
    IDC_APK_ADD = 1005,
    IDC_BUSY_TEXT = 1023,
};

// The image page's buttons.
enum : int {
    IDC_REPLACE_LOGO = 1006,
    IDC_REPLACE_FASTPLAY = 1007,
    IDC_REPLACE_BOOTANIMATION = 1008,
    IDC_OPEN_MEDIA_DIRECTORY = 1009,
    IDC_REPLACE_BOOTARGS = 1010,
    IDC_REPLACE_BASEPARAM = 1011,
    IDC_REPLACE_BOOT = 1012,
    IDC_REPLACE_FASTBOOT = 1013,
    IDC_REPLACE_RECOVERY = 1014,
    IDC_REPLACE_PQ_PARAM = 1015,
    IDC_OPEN_ROOT_DIRECTORY = 1016,
};

// The settings page's buttons.
enum : int {
    IDC_OPEN_BUILD_PROP = 1006,
    IDC_OPEN_KEY_LAYOUT = 1007,
    IDC_OPEN_KEY_MAP = 1008,
};

// Icon resource ids.
enum : int { IDI_APP = 134, IDI_APK = 135 };

const DialogTemplate& dialogTemplate(int id);
