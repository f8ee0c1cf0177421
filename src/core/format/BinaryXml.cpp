#include "core/format/BinaryXml.h"

#include "core/base/ByteOrder.h"

namespace {

constexpr quint16 kStringPoolType = 0x0001;
constexpr quint16 kTableType = 0x0002;
constexpr quint16 kXmlType = 0x0003;
constexpr quint16 kXmlStartElementType = 0x0102;
constexpr quint16 kXmlResourceMapType = 0x0180;
constexpr quint16 kTablePackageType = 0x0200;
constexpr quint16 kTableTypeType = 0x0201;

constexpr quint32 kNoIndex = 0xFFFFFFFFu;
constexpr quint32 kUtf8Flag = 0x100;

constexpr quint32 kAttrVersionCode = 0x0101021b;
constexpr quint32 kAttrVersionName = 0x0101021c;
constexpr quint32 kAttrMinSdkVersion = 0x0101020c;
constexpr quint32 kAttrTargetSdkVersion = 0x01010270;

constexpr int kMaxReferenceSteps = 8;

// A byte range of the input; every read is checked against it.
struct Span {
    const uchar* data = nullptr;
    quint64 size = 0;

    bool has(quint64 offset, quint64 length) const {
        return offset <= size && length <= size - offset;
    }
    quint8 u8(quint64 offset) const { return data[offset]; }
    quint16 u16(quint64 offset) const {
        return ReadLe16(reinterpret_cast<const char*>(data + offset));
    }
    quint32 u32(quint64 offset) const {
        return ReadLe32(reinterpret_cast<const char*>(data + offset));
    }
    Span sub(quint64 offset, quint64 length) const { return Span{data + offset, length}; }
};

struct Chunk {
    quint16 type = 0;
    quint16 headerSize = 0;
    quint32 size = 0;
    Span bytes; // the whole chunk
};

// The chunk at offset of parent, its header and size within the parent.
bool readChunk(const Span& parent, quint64 offset, Chunk* chunk, QString* error) {
    if (!parent.has(offset, 8)) {
        *error = QStringLiteral("chunk header at %1 past the end").arg(offset);
        return false;
    }
    chunk->type = parent.u16(offset);
    chunk->headerSize = parent.u16(offset + 2);
    chunk->size = parent.u32(offset + 4);
    if (chunk->headerSize < 8 || chunk->size < chunk->headerSize) {
        *error = QStringLiteral("chunk 0x%1 at %2 has a bad header size %3 or size %4")
                     .arg(chunk->type, 4, 16, QLatin1Char('0'))
                     .arg(offset)
                     .arg(chunk->headerSize)
                     .arg(chunk->size);
        return false;
    }
    if (!parent.has(offset, chunk->size)) {
        *error = QStringLiteral("chunk 0x%1 at %2 of %3 bytes is truncated")
                     .arg(chunk->type, 4, 16, QLatin1Char('0'))
                     .arg(offset)
                     .arg(chunk->size);
        return false;
    }
    chunk->bytes = parent.sub(offset, chunk->size);
    return true;
}

class StringPool {
public:
    bool load(const Chunk& chunk, QString* error) {
        const Span& c = chunk.bytes;
        if (chunk.headerSize < 28) {
            *error = QStringLiteral("string pool header too short");
            return false;
        }
        m_count = c.u32(8);
        const quint32 flags = c.u32(16);
        const quint32 stringsStart = c.u32(20);
        m_utf8 = (flags & kUtf8Flag) != 0;
        if (!c.has(chunk.headerSize, quint64(m_count) * 4)) {
            *error = QStringLiteral("string pool of %1 strings larger than its chunk").arg(m_count);
            return false;
        }
        if (m_count > 0 && (stringsStart < chunk.headerSize || stringsStart >= c.size)) {
            *error = QStringLiteral("string pool data at %1 outside its chunk").arg(stringsStart);
            return false;
        }
        m_chunk = c;
        m_offsets = chunk.headerSize;
        m_strings =
            c.sub(m_count > 0 ? stringsStart : c.size, m_count > 0 ? c.size - stringsStart : 0);
        m_loaded = true;
        return true;
    }

    bool loaded() const { return m_loaded; }

    // The text of the string at index, decoded.
    bool get(quint32 index, QString* text, QString* error) const {
        quint64 pos = 0, length = 0;
        if (!locate(index, &pos, &length, error))
            return false;
        if (m_utf8) {
            *text = QString::fromUtf8(reinterpret_cast<const char*>(m_strings.data + pos),
                                      qsizetype(length));
            return true;
        }
        QString result(qsizetype(length), Qt::Uninitialized);
        for (quint64 i = 0; i < length; ++i)
            result[qsizetype(i)] = QChar(m_strings.u16(pos + i * 2));
        *text = result;
        return true;
    }

    // Whether the string at index is the ASCII text wanted, compared where
    // it lies: a document may name one long string many times, and decoding
    // it at every mention would cost its length each time.
    bool is(quint32 index, QLatin1StringView wanted, bool* equal, QString* error) const {
        quint64 pos = 0, length = 0;
        if (!locate(index, &pos, &length, error))
            return false;
        *equal = length == quint64(wanted.size());
        for (quint64 i = 0; *equal && i < length; ++i) {
            const quint32 unit = m_utf8 ? m_strings.u8(pos + i) : m_strings.u16(pos + i * 2);
            *equal = unit == quint32(uchar(wanted[qsizetype(i)].toLatin1()));
        }
        return true;
    }

private:
    // Where the string at index begins in the pool's data and its length (in
    // bytes for UTF-8, code units for UTF-16), checked to lie in the pool.
    bool locate(quint32 index, quint64* start, quint64* length, QString* error) const {
        if (!m_loaded || index >= m_count) {
            *error =
                QStringLiteral("string index %1 out of range (%2 strings)").arg(index).arg(m_count);
            return false;
        }
        quint64 pos = m_chunk.u32(m_offsets + quint64(index) * 4);
        if (m_utf8) {
            quint64 chars = 0, bytes = 0;
            if (!utf8Length(&pos, &chars) || !utf8Length(&pos, &bytes) ||
                !m_strings.has(pos, bytes)) {
                *error = QStringLiteral("string %1 runs past its pool").arg(index);
                return false;
            }
            *start = pos;
            *length = bytes;
            return true;
        }
        if (!m_strings.has(pos, 2)) {
            *error = QStringLiteral("string %1 runs past its pool").arg(index);
            return false;
        }
        quint64 units = m_strings.u16(pos);
        pos += 2;
        if (units & 0x8000) {
            if (!m_strings.has(pos, 2)) {
                *error = QStringLiteral("string %1 runs past its pool").arg(index);
                return false;
            }
            units = ((units & 0x7FFF) << 16) | m_strings.u16(pos);
            pos += 2;
        }
        if (!m_strings.has(pos, units * 2)) {
            *error = QStringLiteral("string %1 runs past its pool").arg(index);
            return false;
        }
        *start = pos;
        *length = units;
        return true;
    }

    bool utf8Length(quint64* pos, quint64* length) const {
        if (!m_strings.has(*pos, 1))
            return false;
        quint64 value = m_strings.u8(*pos);
        *pos += 1;
        if (value & 0x80) {
            if (!m_strings.has(*pos, 1))
                return false;
            value = ((value & 0x7F) << 8) | m_strings.u8(*pos);
            *pos += 1;
        }
        *length = value;
        return true;
    }

    Span m_chunk;
    Span m_strings;
    quint64 m_offsets = 0;
    quint32 m_count = 0;
    bool m_utf8 = false;
    bool m_loaded = false;
};

Span spanOf(const QByteArray& bytes) {
    return Span{reinterpret_cast<const uchar*>(bytes.constData()), quint64(bytes.size())};
}

// The typed value of an attribute or entry: size, res0, dataType, data.
bool readValue(const Span& s, quint64 offset, ResValue* value) {
    if (!s.has(offset, 8))
        return false;
    value->type = s.u8(offset + 3);
    value->data = s.u32(offset + 4);
    return true;
}

} // namespace

bool ReadBinaryManifest(const QByteArray& xml, ManifestFacts* facts, QString* error) {
    *facts = ManifestFacts();
    QString cause;
    const Span file = spanOf(xml);
    Chunk root;
    if (!readChunk(file, 0, &root, &cause)) {
        *error = QStringLiteral("not a compiled XML file: %1").arg(cause);
        return false;
    }
    if (root.type != kXmlType) {
        *error = QStringLiteral("not a compiled XML file (chunk type 0x%1)")
                     .arg(root.type, 4, 16, QLatin1Char('0'));
        return false;
    }
    StringPool pool;
    Span resourceMap;
    quint64 resourceCount = 0;
    int depth = 0;
    bool manifestSeen = false, usesSdkSeen = false;
    ResValue packageValue;
    for (quint64 offset = root.headerSize; offset < root.bytes.size;) {
        Chunk chunk;
        if (!readChunk(root.bytes, offset, &chunk, &cause)) {
            *error = QStringLiteral("damaged compiled XML: %1").arg(cause);
            return false;
        }
        offset += chunk.size;
        if (chunk.type == kStringPoolType && !pool.loaded()) {
            if (!pool.load(chunk, &cause)) {
                *error = QStringLiteral("damaged compiled XML: %1").arg(cause);
                return false;
            }
            continue;
        }
        if (chunk.type == kXmlResourceMapType) {
            resourceMap = chunk.bytes.sub(chunk.headerSize, chunk.size - chunk.headerSize);
            resourceCount = resourceMap.size / 4;
            continue;
        }
        if (chunk.type == 0x0103) { // end of an element
            --depth;
            continue;
        }
        if (chunk.type != kXmlStartElementType)
            continue;
        ++depth;
        // The node header (16 bytes) then the element: ns, name, attribute
        // start, size and count.
        const Span& c = chunk.bytes;
        if (chunk.headerSize < 16 || !c.has(chunk.headerSize, 20)) {
            *error = QStringLiteral("damaged compiled XML: element header too short");
            return false;
        }
        const quint64 ext = chunk.headerSize;
        const quint32 nameIndex = c.u32(ext + 4);
        bool named = false;
        const QLatin1StringView wanted =
            depth == 1 ? QLatin1StringView("manifest") : QLatin1StringView("uses-sdk");
        if ((depth == 1 || depth == 2) && !pool.is(nameIndex, wanted, &named, &cause)) {
            *error = QStringLiteral("damaged compiled XML: element name: %1").arg(cause);
            return false;
        }
        const bool isManifest = depth == 1 && named && !manifestSeen;
        const bool isUsesSdk = depth == 2 && manifestSeen && named && !usesSdkSeen;
        if (depth == 1 && !isManifest && !manifestSeen) {
            QString name;
            pool.get(nameIndex, &name, &cause);
            *error = QStringLiteral("the root element is <%1>, not <manifest>").arg(name.left(200));
            return false;
        }
        if (!isManifest && !isUsesSdk)
            continue;
        (isManifest ? manifestSeen : usesSdkSeen) = true;
        const QString name = isManifest ? QStringLiteral("manifest") : QStringLiteral("uses-sdk");
        const quint64 start = ext + c.u16(ext + 8);
        const quint64 attributeSize = c.u16(ext + 10);
        const quint64 count = c.u16(ext + 12);
        if (attributeSize < 20 || !c.has(start, attributeSize * count)) {
            *error = QStringLiteral("damaged compiled XML: attributes of <%1> outside the element")
                         .arg(name);
            return false;
        }
        for (quint64 i = 0; i < count; ++i) {
            const quint64 at = start + i * attributeSize;
            const quint32 attributeIndex = c.u32(at + 4);
            const quint32 rawValue = c.u32(at + 8);
            const quint32 id =
                attributeIndex < resourceCount ? resourceMap.u32(quint64(attributeIndex) * 4) : 0;
            bool failed = false;
            // By resource id when the file maps the attribute, else by name.
            const auto is = [&](quint32 wantedId, const char* wantedName) {
                if (id != 0)
                    return id == wantedId;
                bool equal = false;
                failed = failed ||
                         !pool.is(attributeIndex, QLatin1StringView(wantedName), &equal, &cause);
                return equal;
            };
            ResValue* kept = nullptr;
            if (isManifest) {
                if (id == 0 && is(0, "package"))
                    kept = &packageValue;
                else if (is(kAttrVersionCode, "versionCode"))
                    kept = &facts->versionCode;
                else if (is(kAttrVersionName, "versionName"))
                    kept = &facts->versionName;
            } else {
                if (is(kAttrMinSdkVersion, "minSdkVersion"))
                    kept = &facts->minSdk;
                else if (is(kAttrTargetSdkVersion, "targetSdkVersion"))
                    kept = &facts->targetSdk;
            }
            if (failed) {
                *error = QStringLiteral("damaged compiled XML: attribute name: %1").arg(cause);
                return false;
            }
            if (!kept)
                continue;
            // Only the values kept are decoded.
            ResValue value;
            readValue(c, at + 12, &value);
            if (value.type == ResValue::String) {
                const quint32 index = rawValue != kNoIndex ? rawValue : value.data;
                if (!pool.get(index, &value.string, &cause)) {
                    *error = QStringLiteral("damaged compiled XML: attribute value: %1").arg(cause);
                    return false;
                }
            }
            *kept = value;
        }
        if (usesSdkSeen)
            break;
    }
    if (!manifestSeen) {
        *error = QStringLiteral("no <manifest> element");
        return false;
    }
    facts->packageName = packageValue.string;
    return true;
}

bool SdkLevelOf(const ResValue& value, int* level) {
    if (value.type >= ResValue::IntDec && value.type <= 0x1f) {
        *level = int(qint32(value.data));
        return true;
    }
    if (value.type != ResValue::String)
        return false;
    bool number = false;
    const int parsed = value.string.toInt(&number);
    *level = number ? parsed : kDevelopmentSdkLevel;
    return true;
}

namespace {

struct Table {
    StringPool values;
    Span data;
    quint64 firstChild = 0;
};

// The entry of id in the table: the default configuration's when present,
// else the first. found stays false when no configuration has it.
bool findEntry(const Table& table, quint32 id, ResValue* value, bool* found, QString* error) {
    *found = false;
    const quint32 packageId = id >> 24;
    const quint32 typeId = (id >> 16) & 0xFF;
    const quint32 entryIndex = id & 0xFFFF;
    QString cause;
    for (quint64 offset = table.firstChild; offset < table.data.size;) {
        Chunk package;
        if (!readChunk(table.data, offset, &package, &cause)) {
            *error = QStringLiteral("damaged resource table: %1").arg(cause);
            return false;
        }
        offset += package.size;
        if (package.type != kTablePackageType)
            continue;
        if (package.headerSize < 12 || package.bytes.u32(8) != packageId)
            continue;
        for (quint64 inner = package.headerSize; inner < package.bytes.size;) {
            Chunk type;
            if (!readChunk(package.bytes, inner, &type, &cause)) {
                *error = QStringLiteral("damaged resource table: %1").arg(cause);
                return false;
            }
            inner += type.size;
            const Span& t = type.bytes;
            if (type.type != kTableTypeType || type.headerSize < 24 || t.u8(8) != typeId)
                continue;
            const quint8 flags = t.u8(9);
            const quint64 entryCount = t.u32(12);
            const quint64 entriesStart = t.u32(16);
            // The configuration follows (its first field its size); all zero
            // after the size is the default one.
            const quint64 configSize = t.u32(20);
            if (configSize < 4 || !t.has(20, configSize) || 20 + configSize > type.headerSize) {
                *error = QStringLiteral("damaged resource table: bad configuration size %1")
                             .arg(configSize);
                return false;
            }
            bool isDefault = true;
            for (quint64 i = 24; i < 20 + configSize && isDefault; ++i)
                isDefault = t.u8(i) == 0;
            if (*found && !isDefault)
                continue;
            const bool sparse = (flags & 0x01) != 0;
            const bool offset16 = (flags & 0x02) != 0;
            const quint64 stride = offset16 || sparse ? (sparse ? 4 : 2) : 4;
            if (!t.has(type.headerSize, entryCount * stride) || entriesStart > t.size) {
                *error = QStringLiteral("damaged resource table: %1 entries outside their chunk")
                             .arg(entryCount);
                return false;
            }
            quint64 entryOffset = kNoIndex;
            if (sparse) {
                for (quint64 i = 0; i < entryCount; ++i) {
                    const quint64 at = type.headerSize + i * 4;
                    if (t.u16(at) == entryIndex) {
                        entryOffset = quint64(t.u16(at + 2)) * 4;
                        break;
                    }
                }
            } else if (entryIndex < entryCount) {
                if (offset16) {
                    const quint16 o = t.u16(type.headerSize + quint64(entryIndex) * 2);
                    entryOffset = o == 0xFFFF ? kNoIndex : quint64(o) * 4;
                } else {
                    entryOffset = t.u32(type.headerSize + quint64(entryIndex) * 4);
                }
            }
            if (entryOffset == kNoIndex)
                continue;
            const quint64 at = entriesStart + entryOffset;
            if (!t.has(at, 8)) {
                *error = QStringLiteral("damaged resource table: entry 0x%1 outside its chunk")
                             .arg(id, 8, 16, QLatin1Char('0'));
                return false;
            }
            const quint16 entrySize = t.u16(at);
            const quint16 entryFlags = t.u16(at + 2);
            ResValue candidate;
            if (entryFlags & 0x0008) { // compact: the type in the flags, the data after
                candidate.type = quint8(entryFlags >> 8);
                candidate.data = t.u32(at + 4);
            } else if (entryFlags & 0x0001) {
                *error = QStringLiteral("resource 0x%1 is not a simple value")
                             .arg(id, 8, 16, QLatin1Char('0'));
                return false;
            } else if (entrySize < 8 || !readValue(t, at + entrySize, &candidate)) {
                *error = QStringLiteral("damaged resource table: value of 0x%1 outside its chunk")
                             .arg(id, 8, 16, QLatin1Char('0'));
                return false;
            }
            *value = candidate;
            *found = true;
            if (isDefault)
                return true;
        }
    }
    return true;
}

} // namespace

bool ResolveResource(const QByteArray& arsc, quint32 id, ResValue* value, QString* error) {
    QString cause;
    Chunk root;
    if (!readChunk(spanOf(arsc), 0, &root, &cause) || root.type != kTableType ||
        root.headerSize < 12) {
        *error = QStringLiteral("not a resource table%1")
                     .arg(cause.isEmpty() ? QString() : QStringLiteral(": ") + cause);
        return false;
    }
    Table table;
    table.data = root.bytes;
    table.firstChild = root.headerSize;
    for (quint64 offset = root.headerSize; offset < root.bytes.size;) {
        Chunk chunk;
        if (!readChunk(root.bytes, offset, &chunk, &cause)) {
            *error = QStringLiteral("damaged resource table: %1").arg(cause);
            return false;
        }
        offset += chunk.size;
        if (chunk.type == kStringPoolType) {
            if (!table.values.load(chunk, &cause)) {
                *error = QStringLiteral("damaged resource table: %1").arg(cause);
                return false;
            }
            break;
        }
    }
    quint32 current = id;
    for (int step = 0; step <= kMaxReferenceSteps; ++step) {
        ResValue found;
        bool present = false;
        if (!findEntry(table, current, &found, &present, error))
            return false;
        if (!present) {
            *error = QStringLiteral("no resource 0x%1").arg(current, 8, 16, QLatin1Char('0'));
            return false;
        }
        if (found.type == ResValue::Reference || found.type == 0x07) {
            current = found.data;
            continue;
        }
        if (found.type == ResValue::String &&
            !table.values.get(found.data, &found.string, &cause)) {
            *error = QStringLiteral("damaged resource table: %1").arg(cause);
            return false;
        }
        *value = found;
        return true;
    }
    *error = QStringLiteral("resource 0x%1: references go round (more than %2 steps)")
                 .arg(id, 8, 16, QLatin1Char('0'))
                 .arg(kMaxReferenceSteps);
    return false;
}
