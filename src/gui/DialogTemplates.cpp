#include "gui/DialogTemplates.h"

#include <QHash>

namespace {

using K = ControlKind;

// clang-format off
QHash<int, DialogTemplate> buildTemplates() {
    QHash<int, DialogTemplate> t;

    t.insert(IDD_MAIN, {IDD_MAIN,
                        QStringLiteral("Velkor V4.0.0.0"),
                        8,
                        556,
                        350,
                        {
                            {IDC_SAVE, K::DefaultPushButton, QStringLiteral("Save"), 146, 329, 50, 14},
                            {IDC_CANCEL, K::PushButton, QStringLiteral("Cancel"), 357, 329, 50, 14},
                            {IDC_TAB, K::TabControl, QString(), 7, 42, 542, 280, true, false},
                            {IDC_PACKAGE_PATH, K::Edit, QString(), 51, 18, 425, 15},
                            {IDC_BROWSE, K::PushButton, QStringLiteral("Browse"), 489, 18, 52, 15},
                            {-1, K::CentredStatic, QStringLiteral("Firmware"), 7, 20, 30, 8, true, false},
                        }});

    t.insert(IDD_IMAGE_PAGE,
             {IDD_IMAGE_PAGE,
              QString(),
              8,
              540,
              195,
              {
                  {-1, K::GroupBox, QStringLiteral("Display"), 15, 18, 508, 65, true, false},
                  {-1, K::GroupBox, QStringLiteral("Partition"), 15, 87, 508, 92, true, false},
                  {1006, K::PushButton, QStringLiteral("Replace logo.img"), 69, 32, 89, 16},
                  {1007, K::PushButton, QStringLiteral("Replace fastplay.img"), 218, 32, 89, 16},
                  {1008, K::PushButton, QStringLiteral("Replace Boot Animation"), 367, 32, 89, 16},
                  {1009, K::PushButton, QStringLiteral("Open directory of boot animation"), 69, 57,
                   123, 16, false},
                  {1010, K::PushButton, QStringLiteral("Replace bootargs.img"), 69, 99, 89, 16},
                  {1011, K::PushButton, QStringLiteral("Replace baseparam.img"), 218, 99, 89, 16},
                  {1012, K::PushButton, QStringLiteral("Replace kernel(boot.img)"), 367, 99, 89, 16},
                  {1013, K::PushButton, QStringLiteral("Replace fastboot.img"), 69, 125, 89, 16},
                  {1014, K::PushButton, QStringLiteral("Replace recovery.img"), 218, 125, 89, 16},
                  {1015, K::PushButton, QStringLiteral("Replace pq_param.img"), 367, 125, 89, 16},
                  {1016, K::PushButton, QStringLiteral("Open directory of partition image"), 69, 151,
                   123, 16, false},
              }});

    t.insert(IDD_APK_PAGE, {IDD_APK_PAGE,
                            QString(),
                            8,
                            400,
                            185,
                            {
                                {IDC_APK_LIST, K::ListView, QString(), 0, 0, 345, 183},
                                {IDC_APK_ADD, K::PushButton, QStringLiteral("Add"), 353, 22, 39, 14},
                                {IDC_APK_DELETE, K::PushButton, QStringLiteral("Delete"), 353, 48, 39,
                                 14, true, true, true},
                            }});

    t.insert(IDD_SETTINGS_PAGE,
             {IDD_SETTINGS_PAGE,
              QString(),
              8,
              401,
              180,
              {
                  {1006, K::PushButton, QStringLiteral("Open build.prop"), 16, 22, 101, 16},
                  {1007, K::PushButton, QStringLiteral("Config front panel "), 147, 22, 101, 16},
                  {1008, K::PushButton, QStringLiteral("Config remote"), 278, 22, 101, 16},
              }});

    t.insert(IDD_BUSY, {IDD_BUSY,
                        QStringLiteral("Velkor"),
                        16,
                        131,
                        44,
                        {
                            {IDC_BUSY_TEXT, K::Static, QStringLiteral("Static"), 15, 15, 98, 11, true,
                             false},
                        }});
    return t;
}
// clang-format on

} // namespace

const DialogTemplate& dialogTemplate(int id) {
    static const QHash<int, DialogTemplate> templates = buildTemplates();
    static const DialogTemplate empty{};
    const auto it = templates.constFind(id);
    return it == templates.constEnd() ? empty : *it;
}
