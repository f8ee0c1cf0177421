#include "core/workspace/WorkingImage.h"

#include "core/base/ErrorText.h"
#include "core/base/FileHelpers.h"
#include "core/base/TestHooks.h"
#include "core/base/ToolRunner.h"
#include "core/base/WorkspacePaths.h"
#include "core/format/Ext4Image.h"
#include "core/package/SystemImage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <optional>

namespace {

const QString kStopped = QStringLiteral("stopped");

QString formKey(BlockImageForm form) {
    return BlockImageFormWord(form);
}

std::optional<BlockImageForm> formOfKey(const QString& key) {
    for (const BlockImageForm form : {BlockImageForm::Raw, BlockImageForm::Sparse,
                                      BlockImageForm::NewDat, BlockImageForm::NewDatBrotli})
        if (BlockImageFormWord(form) == key)
            return form;
    return std::nullopt;
}

// Writes the files of one folder of the image below target, depth first.
class TreeWriter {
public:
    TreeWriter(const Ext4Image& image, ToolRunner& runner,
               const ToolRunner::PercentCallback& progress)
        : m_image(image), m_runner(runner), m_progress(progress),
          m_total(image.facts().size() - image.facts().freeBytes()) {}

    bool write(const QString& folder, const QString& target, QString* cause) {
        if (!FileHelpers::IsDirectory(target) && !QDir().mkpath(target))
            return Fail(cause, QStringLiteral("cannot make the folder \"%1\"").arg(target));
        QList<Ext4Entry> entries;
        if (!m_image.list(folder, &entries, cause))
            return false;
        for (const Ext4Entry& entry : entries) {
            if (m_runner.stopRequested())
                return Fail(cause, kStopped);
            const QString path =
                folder.isEmpty() ? entry.name : folder + QLatin1Char('/') + entry.name;
            const QString file = target + QLatin1Char('/') + entry.name;
            // Lost+found and the like belong to the filesystem, not the partition.
            if (folder.isEmpty() && entry.name == QLatin1String("lost+found"))
                continue;
            if (entry.kind == Ext4Entry::Kind::Folder) {
                if (!write(path, file, cause))
                    return false;
            } else if (entry.kind == Ext4Entry::Kind::File) {
                if (!copyFile(path, file, cause))
                    return false;
            }
            // Links and device nodes stay in the image only: nothing edits them.
        }
        return true;
    }

private:
    bool copyFile(const QString& path, const QString& target, QString* cause) {
        const std::unique_ptr<RandomAccessSource> source = m_image.openFile(path, cause);
        if (!source)
            return false;
        QFile out(target);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return Fail(cause,
                        QStringLiteral("cannot write \"%1\": %2").arg(target, out.errorString()));
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        const quint64 size = source->size();
        for (quint64 offset = 0; offset < size;) {
            const auto chunk = static_cast<qint64>(
                std::min<quint64>(size - offset, static_cast<quint64>(buffer.size())));
            if (!source->readAt(offset, buffer.data(), chunk, cause))
                return false;
            if (out.write(buffer.constData(), chunk) != chunk)
                return Fail(
                    cause,
                    QStringLiteral("cannot write \"%1\": %2").arg(target, out.errorString()));
            offset += static_cast<quint64>(chunk);
            m_done += static_cast<quint64>(chunk);
            report();
        }
        if (!out.flush())
            return Fail(cause,
                        QStringLiteral("cannot write \"%1\": %2").arg(target, out.errorString()));
        return true;
    }

    void report() {
        if (!m_progress || m_total == 0)
            return;
        const int percent = static_cast<int>(std::min<quint64>(100, m_done * 100 / m_total));
        if (percent != m_percent) {
            m_percent = percent;
            m_progress(percent);
        }
    }

    const Ext4Image& m_image;
    ToolRunner& m_runner;
    const ToolRunner::PercentCallback& m_progress;
    const quint64 m_total;
    quint64 m_done = 0;
    int m_percent = -1;
};

} // namespace

WorkingImageState WorkingImageState::read(const QString& statePath) {
    WorkingImageState state;
    QFile file(statePath);
    if (!file.open(QIODevice::ReadOnly))
        return state;
    const QList<QByteArray> lines = file.readAll().split('\n');
    bool formKnown = false;
    for (const QByteArray& line : lines) {
        const qsizetype equals = line.indexOf('=');
        if (equals <= 0)
            continue;
        const QByteArray key = line.left(equals);
        const QString value = QString::fromUtf8(line.mid(equals + 1));
        bool ok = true;
        if (key == "refused")
            state.refusal = value.isEmpty() ? QStringLiteral("the image cannot be edited") : value;
        else if (key == "partition")
            state.layout.partition.name = value;
        else if (key == "form") {
            const std::optional<BlockImageForm> form = formOfKey(value);
            ok = form.has_value();
            if (form) {
                state.layout.partition.form = *form;
                formKnown = true;
            }
        } else if (key == "block-size")
            state.layout.blockSize = value.toUInt(&ok);
        else if (key == "image-size")
            state.layout.imageSize = value.toULongLong(&ok);
        else if (key == "transfer-list-version")
            state.layout.transferListVersion = value.toInt(&ok);
        else if (key == "free-blocks-erased")
            state.layout.freeBlocksErased = value == QLatin1String("1");
        if (!ok)
            return WorkingImageState();
    }
    state.present = formKnown || !state.refusal.isEmpty();
    return state;
}

bool WorkingImageState::write(const QString& statePath, QString* error) const {
    QByteArray text;
    if (!refusal.isEmpty()) {
        text = "refused=" + QString(refusal).replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() +
               '\n';
    } else {
        text += "partition=" + layout.partition.name.toUtf8() + '\n';
        text += "form=" + formKey(layout.partition.form).toUtf8() + '\n';
        text += "block-size=" + QByteArray::number(layout.blockSize) + '\n';
        text += "image-size=" + QByteArray::number(layout.imageSize) + '\n';
        text += "transfer-list-version=" + QByteArray::number(layout.transferListVersion) + '\n';
        text += "free-blocks-erased=" + QByteArray(layout.freeBlocksErased ? "1" : "0") + '\n';
    }
    FileHelpers::TemporaryFile file(statePath);
    return file.open(error) && file.write(text, error) && file.commit(error);
}

void RemoveWorkingImage(const WorkspacePaths& paths) {
    FileHelpers::RemoveFile(paths.workingSystemImageState());
    FileHelpers::RemoveFile(paths.workingSystemImage());
}

bool OpenWorkingImage(ToolRunner& runner, const WorkspacePaths& paths, const QString& tree,
                      QString* cause) {
    const QString root = tree;
    const QList<BlockImagePartition> images = PartitionImagesOf([&root](const QString& name) {
        return QFileInfo(root + QLatin1Char('/') + name).isFile();
    });
    const auto system = std::find_if(images.cbegin(), images.cend(), [](const auto& partition) {
        return partition.name == QLatin1String("system");
    });
    if (system == images.cend())
        return true;

    const QString raw = paths.workingSystemImage();
    FileHelpers::RemoveFile(raw);
    WorkingImageState state;
    QString refusal;
    const FolderPackageMembers members(tree);
    const bool decoded = runner.runInBackground(
        QStringLiteral("Decompressing files"),
        [&](const ToolRunner::PercentCallback& progress) {
            return DecodeBlockImage(members, *system, raw, &state.layout, &refusal,
                                    [&](quint64 done, quint64 total) {
                                        FaultPoint("open:decoding-image");
                                        if (runner.stopRequested())
                                            return false;
                                        if (progress && total > 0)
                                            progress(static_cast<int>(done * 100 / total));
                                        return true;
                                    });
        },
        true);
    if (!decoded && (refusal == QLatin1String(kBlockImageCancelled) || runner.stopRequested())) {
        FileHelpers::RemoveFile(raw);
        return Fail(cause, kStopped);
    }
    std::unique_ptr<Ext4Image> image;
    if (decoded)
        image = Ext4Image::Open(raw, Ext4Image::Mode::ReadOnly, QStringLiteral("/system"), runner,
                                &refusal);
    if (!image) {
        // The package opens; its system partition is not edited, for this cause.
        FileHelpers::RemoveFile(raw);
        state = WorkingImageState();
        state.refusal = refusal;
        return state.write(paths.workingSystemImageState(), cause);
    }
    FaultPoint("open:image-decoded");
    const bool written = runner.runInBackground(
        QStringLiteral("Decompressing files"),
        [&](const ToolRunner::PercentCallback& progress) {
            return TreeWriter(*image, runner, progress)
                .write(QString(), tree + QStringLiteral("/system"), cause);
        },
        true);
    image.reset();
    if (!written) {
        FileHelpers::RemoveFile(raw);
        return false;
    }
    FaultPoint("open:image-unpacked");
    return state.write(paths.workingSystemImageState(), cause);
}
