// What info and diff read of a package, over any bytes: the central
// directory, build.prop, the APKs (stored ones through a window, deflated ones
// read in place or inflated), otacerts.zip (a ZIP inside the ZIP) and the whole-file
// signature's footer and block, without a crash or a read out of bounds, and
// with what the facts promise. The same bytes as a build.prop go through its
// parser.

#include "core/package/PackageInsight.h"

#include "FuzzSupport.h"

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));

    // build.prop: keys non-empty and trimmed, free of '='; a read-only key
    // keeps its first value.
    const QList<QPair<QString, QString>> lines = ParseBuildPropLines(bytes);
    const QMap<QString, QString> properties = ParseBuildProp(bytes);
    for (const auto& [key, value] : lines) {
        fuzz::require(!key.isEmpty() && key == key.trimmed() && !key.contains(QLatin1Char('=')));
        fuzz::require(value == value.trimmed());
        fuzz::require(properties.contains(key));
    }
    for (auto it = properties.cbegin(); it != properties.cend(); ++it) {
        if (!it.key().startsWith(QLatin1String("ro.")))
            continue;
        for (const auto& [key, value] : lines) {
            if (key == it.key()) {
                fuzz::require(value == it.value());
                break;
            }
        }
    }

    const QString package = fuzz::scratchDirectory("fuzz_PackageInsight") + "/package.zip";
    fuzz::writeInput(package, data, size);
    PackageInsightKeys keys;
    keys.testKey = "not a certificate";
    PackageInsightOptions options;
    options.memoryLimit = 4096; // larger APKs through the temporary file
    PackageFacts facts;
    QString error;
    if (!ReadPackageFacts(package, keys, options, &facts, &error)) {
        fuzz::require(!error.isEmpty());
        return 0;
    }
    fuzz::require(facts.size == static_cast<qint64>(size));
    fuzz::require(facts.images.size() == 9);
    for (const PackageApk& apk : facts.apks) {
        fuzz::require(apk.factsRead || !apk.factsError.isEmpty());
        fuzz::require(apk.size >= 0 && apk.size <= static_cast<qint64>(1) << 62);
    }
    // Nothing verifies against a key that is no certificate.
    fuzz::require(!facts.signature.signerIsTestKey && !facts.otaCerts.includesTestKey);
    if (!facts.signature.signerSha256.isEmpty())
        fuzz::require(facts.signature.present && facts.signature.signerSha256.size() == 32);
    return 0;
}
