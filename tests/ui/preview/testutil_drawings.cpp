#include "testutil_drawings.h"

#include <zlib.h>

#include <algorithm>

QByteArray gzip(const QByteArray &data)
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(data.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray squareDrawing(const QByteArray &prolog, const QByteArray &inside)
{
    return prolog + "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>"
                    "<rect width='16' height='16'/>" + inside + "</svg>";
}

namespace {

// The drawing of the entity declarations `entities` with `references` in `place`.
QByteArray referring(const QByteArray &entities, const QByteArray &references, ReferencePlace place)
{
    switch (place) {
    case ReferencePlace::Text:
        return squareDrawing("<!DOCTYPE svg [ " + entities + " ]>", "<text x='0' y='12'>" + references + "</text>");
    case ReferencePlace::Attribute:
        return squareDrawing("<!DOCTYPE svg [ " + entities + " ]>", "<g id='" + references + "'/>");
    case ReferencePlace::DefaultValue:
        return squareDrawing("<!DOCTYPE svg [ " + entities + " <!ATTLIST g class CDATA '" + references + "'> ]>",
                             "<g/>");
    }
    return QByteArray();
}

} // namespace

QByteArray nestedEntityDrawing(int bytes, const QByteArray &amp, ReferencePlace place)
{
    const QByteArray entities = "<!ENTITY c 'the quick brown fox jumps over the lazy dog 42'>"
                                " <!ENTITY b '" + (amp + "c;").repeated(9) + "'>"
                                " <!ENTITY a '" + (amp + "b;").repeated(9) + "'>";
    const int uses = std::max(1, (bytes - int(referring(entities, {}, place).size())) / 3);
    return referring(entities, QByteArray("&a;").repeated(uses), place);
}

QByteArray oftenUsedEntityDrawing(int valueChars, int uses, ReferencePlace place)
{
    return referring("<!ENTITY a '" + QByteArray(valueChars, 'x') + "'>", QByteArray("&a;").repeated(uses), place);
}

QByteArray manyAttributesDrawing(int count)
{
    QByteArray attributes;
    attributes.reserve(count * 16);
    for (int i = 0; i < count; ++i)
        attributes += " a" + QByteArray::number(i) + "='" + QByteArray::number(i) + "'";
    return squareDrawing({}, "<g" + attributes + "/>");
}

QByteArray deepDrawing(int levels)
{
    return "<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'>" + QByteArray("<g>").repeated(levels)
           + "<rect width='16' height='16'/>" + QByteArray("</g>").repeated(levels) + "</svg>";
}

QByteArray plainDrawing(int bytes)
{
    QByteArray text = "<svg xmlns='http://www.w3.org/2000/svg' width='1000' height='1000'>\n";
    text.reserve(bytes + 4096);
    quint32 seed = 1;
    const auto next = [&seed](int range) {
        seed = seed * 1103515245u + 12345u;
        return int((seed >> 8) % quint32(range));
    };
    while (text.size() < bytes) {
        text += "<path fill='none' stroke='#" + QByteArray::number(0x100000 + next(0xefffff), 16)
                + "' stroke-width='1.5' d='M" + QByteArray::number(next(1000)) + ',' + QByteArray::number(next(1000));
        for (int i = 0; i < 40; ++i)
            text += " L" + QByteArray::number(next(100000) / 100.0, 'f', 2) + ','
                    + QByteArray::number(next(100000) / 100.0, 'f', 2);
        text += "'/>\n";
    }
    return text + "</svg>\n";
}
