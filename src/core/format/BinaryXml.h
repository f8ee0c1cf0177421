#pragma once

#include <QByteArray>
#include <QString>

#include <QtGlobal>

// Android's compiled resources as they sit in an APK: the binary XML of
// AndroidManifest.xml and the resource table (resources.arsc), read only as
// far as the manifest's identity needs. Every offset, count and length is
// checked against the chunk that holds it: hostile input gives false with the
// cause, never a read out of bounds or an allocation larger than the input.

// A typed value as the compiled files store it.
struct ResValue {
    enum Type : quint8 {
        Null = 0x00,
        Reference = 0x01,
        String = 0x03,
        IntDec = 0x10,
        IntHex = 0x11,
        IntBoolean = 0x12,
    };
    quint8 type = Null;
    quint32 data = 0;
    QString string; // the text of a String value (from its pool)
};

// An attribute of the manifest as read: null type when absent.
struct ManifestFacts {
    QString packageName;
    ResValue versionCode;
    ResValue versionName;
    ResValue minSdk;    // of the first <uses-sdk>
    ResValue targetSdk; // of the first <uses-sdk>
};

// Reads the identity of a compiled AndroidManifest.xml: the <manifest>
// element's package, android:versionCode and android:versionName, and the
// first <uses-sdk> below it. Attributes are matched by resource id when the
// file maps them, else by name. False with the cause.
bool ReadBinaryManifest(const QByteArray& xml, ManifestFacts* facts, QString* error);

// The platform level a minSdkVersion or targetSdkVersion value names, read as
// the device reads it: an integer, or a string of digits; any other string is
// a codename, a preview platform still in development, which the device
// takes as kDevelopmentSdkLevel: newer than every release (it installs such
// an APK only on that preview). The signer follows the same rule when it
// picks its digests. False for a value of another type (a reference is to be
// resolved first).
inline constexpr int kDevelopmentSdkLevel = 10000;
bool SdkLevelOf(const ResValue& value, int* level);

// Resolves a resource id to its value in a resource table: the entry of the
// default configuration when there is one, else the first configuration that
// has it; a reference is followed (up to a few steps, a cycle is an error).
// False with the cause (no such resource, a complex value, a damaged table).
bool ResolveResource(const QByteArray& arsc, quint32 id, ResValue* value, QString* error);
