#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Builds a compiled XML document (as in an APK's AndroidManifest.xml) byte
// by byte: a UTF-16 string pool and elements whose attributes are matched by
// name (no resource map). Enough for the manifest readers' cases.

struct BinaryXmlAttribute {
    quint32 name = 0;   // string index
    quint8 type = 0x10; // 0x03 string, 0x10 decimal, 0x01 reference
    quint32 data = 0;   // the value, or the string's index
};

class BinaryXmlBuilder {
public:
    quint32 string(const QString& text) {
        m_strings.append(text);
        return quint32(m_strings.size() - 1);
    }
    void start(quint32 name, const QList<BinaryXmlAttribute>& attributes = {}) {
        QByteArray e;
        put16(&e, 0x0102);
        put16(&e, 16);
        put32(&e, quint32(36 + 20 * attributes.size()));
        put32(&e, 1);          // line
        put32(&e, 0xFFFFFFFF); // comment
        put32(&e, 0xFFFFFFFF); // namespace
        put32(&e, name);
        put16(&e, 20); // attribute start
        put16(&e, 20); // attribute size
        put16(&e, quint32(attributes.size()));
        put16(&e, 0);
        put16(&e, 0);
        put16(&e, 0);
        for (const BinaryXmlAttribute& a : attributes) {
            put32(&e, 0xFFFFFFFF);
            put32(&e, a.name);
            put32(&e, a.type == 0x03 ? a.data : 0xFFFFFFFF);
            put16(&e, 8);
            e.append('\0');
            e.append(char(a.type));
            put32(&e, a.data);
        }
        m_elements += e;
    }
    void end(quint32 name) {
        QByteArray e;
        put16(&e, 0x0103);
        put16(&e, 16);
        put32(&e, 24);
        put32(&e, 1);
        put32(&e, 0xFFFFFFFF);
        put32(&e, 0xFFFFFFFF);
        put32(&e, name);
        m_elements += e;
    }
    QByteArray build() const {
        QByteArray data;
        QByteArray offsets;
        for (const QString& s : m_strings) {
            put32(&offsets, quint32(data.size()));
            if (s.size() > 0x7FFF) {
                put16(&data, 0x8000 | quint32(s.size() >> 16));
                put16(&data, quint32(s.size() & 0xFFFF));
            } else {
                put16(&data, quint32(s.size()));
            }
            for (QChar c : s)
                put16(&data, c.unicode());
            put16(&data, 0);
        }
        while (data.size() % 4)
            data.append('\0');
        QByteArray pool;
        put16(&pool, 0x0001);
        put16(&pool, 28);
        put32(&pool, quint32(28 + offsets.size() + data.size()));
        put32(&pool, quint32(m_strings.size()));
        put32(&pool, 0); // styles
        put32(&pool, 0); // UTF-16
        put32(&pool, quint32(28 + offsets.size()));
        put32(&pool, 0);
        pool += offsets + data;
        QByteArray xml;
        put16(&xml, 0x0003);
        put16(&xml, 8);
        put32(&xml, quint32(8 + pool.size() + m_elements.size()));
        return xml + pool + m_elements;
    }

private:
    static void put16(QByteArray* out, quint32 v) {
        out->append(char(v & 0xFF));
        out->append(char((v >> 8) & 0xFF));
    }
    static void put32(QByteArray* out, quint32 v) {
        put16(out, v & 0xFFFF);
        put16(out, v >> 16);
    }
    QList<QString> m_strings;
    QByteArray m_elements;
};
