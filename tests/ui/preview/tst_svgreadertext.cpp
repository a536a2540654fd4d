// The text a drawing's XML readers get: the same elements, attributes and text Qt's own reader
// makes of the drawing with its document type, but without a document type for any reader to
// act on; what the entities write is counted, and so are an element's attributes and its
// depth, all in the one pass before any reader sees the text.

#include "testutil_drawings.h"
#include "ui/preview/svgtext.h"

#include <QStringList>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

constexpr qint64 kNoCap = 1ll << 40;

// What a reader makes of `text`: elements, attributes, and text (joined across the comments,
// instructions and references to undeclared entities between its pieces); "error" ends it
// when the reader refuses the text.
QStringList readerView(const QString &text)
{
    QXmlStreamReader xml(text);
    QStringList view;
    bool inText = false;
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::Characters) {
            if (!inText)
                view << QStringLiteral("text:");
            view.last() += xml.text();
            inText = true;
            continue;
        }
        if (token == QXmlStreamReader::StartElement || token == QXmlStreamReader::EndElement)
            inText = false;
        if (token == QXmlStreamReader::StartElement) {
            view << QLatin1Char('<') + xml.qualifiedName().toString();
            for (const QXmlStreamAttribute &attribute : xml.attributes())
                view << QLatin1Char('@') + attribute.qualifiedName().toString() + QLatin1Char('=')
                            + attribute.value().toString();
        } else if (token == QXmlStreamReader::EndElement) {
            view << QLatin1Char('/') + xml.qualifiedName().toString();
        } else if (token == QXmlStreamReader::Invalid) {
            view << QStringLiteral("error");
        }
    }
    return view;
}

bool readsDocumentType(const QString &text)
{
    QXmlStreamReader xml(text);
    while (!xml.atEnd()) {
        if (xml.readNext() == QXmlStreamReader::DTD)
            return true;
    }
    return false;
}

} // namespace

class TstSvgReaderText : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Entities that stand for text, declared and used the ways XML allows: references in
    // their values that decode to '&', '<' and white space, quotes of either kind in
    // attributes quoted either way, characters beyond 16 bits, a name declared twice, a
    // predefined name declared again, references left in comments and character data
    // sections, references to an external subset's entities. The reader makes of the text
    // handed on what it makes of the drawing itself, and the text has no document type.
    void entitiesReadAsTheReaderReadsThem()
    {
        const QString body = QStringLiteral(
            "<svg xmlns='&ns;' a='&p;' b=\"&p;\" c='&q;' d=\"&q;\" e='&w;' f='&x;&lt;&#65;'>"
            "&e;|&p;|&q;|&w;|&w2;|&x;|&first;|&lt;&#x42;&amp;<!-- &e; --><![CDATA[&e;]]>&gt2;&nested;</svg>");
        // Qt's reader takes a character reference in what an entity stands for as a reference
        // to an entity when the entity is used in an attribute value: those are used in text.
        const QString entities = QStringLiteral(
            "<!ENTITY ns 'http://www.w3.org/2000/svg'>"
            "<!ENTITY e 'x&#38;#38;y&#38;lt;b/&#38;gt;z&#38;#38;#38;'>"
            "<!ENTITY p 'x&#38;amp;y&#38;lt;z&#38;quot;&#38;apos;'>"
            "<!ENTITY q \"it's &#34;quoted&#34;\">"
            "<!ENTITY w 'a&#10;b&#9;c d&#13;e'>"
            "<!ENTITY w2 'a&#38;#10;b&#38;#9;c&#38;#13;d'>"
            "<!ENTITY x '&#x1F600;&#0000065;&#x000042;'>"
            "<!ENTITY first 'one'> <!ENTITY first 'two'>"
            "<!ENTITY lt 'not this'>"
            "<!ENTITY gt2 'a&gt;b'>"
            "<!ENTITY nested '&#38;#38;e;'>");
        const QString external = QStringLiteral("<!DOCTYPE svg PUBLIC '-//W3C//DTD SVG 1.1//EN' 'svg11.dtd' [");
        const struct { const char *what; QString text; } cases[] = {
            {"declared", QStringLiteral("<!DOCTYPE svg [") + entities + QStringLiteral("]>") + body},
            {"with an external subset", external + entities + QStringLiteral("]>") + body},
            {"references to the external subset",
             external + entities + QStringLiteral("]><svg a='&elsewhere;'>x&elsewhere;y</svg>")},
            {"a comment and an instruction before",
             QStringLiteral("<?xml version='1.0'?><!-- <!DOCTYPE x> --><?pi x?><!DOCTYPE svg [<!-- ]> --><?pi ]>?>")
                 + entities + QStringLiteral("]>\n") + body},
        };
        for (const auto &c : cases) {
            const QStringList expected = readerView(c.text);
            QVERIFY2(!expected.contains(QStringLiteral("error")), c.what);
            const QString handedOn = svgTextForReaders(c.text, kNoCap);
            QVERIFY2(!handedOn.isNull(), c.what);
            QVERIFY2(readsDocumentType(c.text) && !readsDocumentType(handedOn), c.what);
            QCOMPARE(readerView(handedOn), expected);
        }
        // White space a reference makes stays in an attribute value; white space written
        // becomes a space there.
        const QString handedOn = svgTextForReaders(
            QStringLiteral("<!DOCTYPE svg [<!ENTITY w 'a&#38;#10;b&#38;#9;c&#38;#13;d&#10;e'>]><svg a='&w;'/>"),
            kNoCap);
        QCOMPARE(readerView(handedOn), QStringList({QStringLiteral("<svg"), QStringLiteral("@a=a\nb\tc\rd e"),
                                                    QStringLiteral("/svg")}));
    }

    // Entities that reach other entities through references their declarations make, however
    // spelt, and references to entities nobody declares: refused, wherever they are used,
    // unless an external subset is named, when the drawing loses them. Entities that would
    // put markup into the text are never read as markup.
    void entitiesThatReachFurtherAreRefused()
    {
        const QString uses[] = {QStringLiteral("<svg>&a;</svg>"), QStringLiteral("<svg a='&a;'/>"),
                                QStringLiteral("<svg><path a=\"x&a;\">y</path></svg>")};
        const QString declarations[] = {
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#38;b;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#x26;b;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#0000038;b;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#x00026;b;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#38;b&#59;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&#38;&#98;&#59;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY a '&b;'>"),
            QStringLiteral("<!ENTITY b 'x'> <!ENTITY % p '&#38;b;'> <!ENTITY a '%p;'>"),
            QStringLiteral("<!ENTITY a '&#38;'>"),
            QStringLiteral("<!ENTITY a '&#60;g/&#62;'>"),
            QStringLiteral("<!ENTITY a '<g/>'>"),
            QStringLiteral("<!ENTITY a '&#0;'>"),
            QStringLiteral("<!ENTITY a '&#x110000;'>"),
            QStringLiteral("<!ENTITY a SYSTEM 'a.xml'>"),
            QStringLiteral("<!ENTITY a '") + QString(5000, QLatin1Char('x')) + QStringLiteral("'>"),
            QString(),
        };
        for (const QString &declaration : declarations) {
            for (const QString &use : uses) {
                const QString what = declaration.left(60) + QLatin1Char(' ') + use;
                QVERIFY2(svgTextForReaders(QStringLiteral("<!DOCTYPE svg [") + declaration + QStringLiteral("]>") + use,
                                           kNoCap)
                             .isNull(),
                         qPrintable(what));
                const QString lost = svgTextForReaders(
                    QStringLiteral("<!DOCTYPE svg SYSTEM 'svg.dtd' [") + declaration + QStringLiteral("]>") + use,
                    kNoCap);
                QVERIFY2(!lost.isNull() && !readsDocumentType(lost) && !lost.contains(QLatin1String("&a;")),
                         qPrintable(what));
                QVERIFY2(!readerView(lost).contains(QStringLiteral("error")), qPrintable(what));
                QVERIFY2(!readerView(lost).contains(QStringLiteral("<g")), qPrintable(what));
            }
        }
        QVERIFY(svgTextForReaders(QStringLiteral("<svg>&a;</svg>"), kNoCap).isNull());
    }

    // What the entities write counts against twice the drawing's own text, escaped as it is
    // written, and the whole against the cap: the text handed on is exactly the drawing with
    // the references replaced when it fits, and nothing when it does not.
    void entityTextIsCounted()
    {
        const struct { const char *what; QString value; QString written; bool inAttribute; } entities[] = {
            {"plain", QString(100, QLatin1Char('x')), QString(100, QLatin1Char('x')), false},
            {"quotes in an attribute", QString(50, QLatin1Char('"')), QStringLiteral("&quot;").repeated(50), true},
            {"'<' written as references", QStringLiteral("&#38;lt;").repeated(50), QStringLiteral("&lt;").repeated(50),
             false},
        };
        for (const auto &e : entities) {
            const QString declaration =
                QStringLiteral("<!DOCTYPE svg [<!ENTITY e '") + e.value + QStringLiteral("'>]>");
            const QString padding = QStringLiteral("<!--") + QString(3000, QLatin1Char(' ')) + QStringLiteral("-->");
            bool refusedOnce = false;
            for (int uses = 1; uses < 400; uses += 7) {
                const QString references = QStringLiteral("&e;").repeated(uses);
                const QString body = e.inAttribute
                                         ? QStringLiteral("<svg a=\"") + references + QStringLiteral("\">") + padding
                                         : QStringLiteral("<svg>") + references + padding;
                const QString text = declaration + body + QStringLiteral("</svg>");
                const QString handedOn = svgTextForReaders(text, kNoCap);
                const bool fits = qint64(e.written.size()) * uses <= 2 * text.size();
                QVERIFY2(handedOn.isNull() != fits, qPrintable(QStringLiteral("%1, %2 uses").arg(e.what).arg(uses)));
                refusedOnce = refusedOnce || !fits;
                if (!fits)
                    continue;
                const QString expected =
                    QString(body).replace(QStringLiteral("&e;"), e.written) + QStringLiteral("</svg>");
                QCOMPARE(handedOn, expected);
                // The cap holds whatever the entities may write.
                QCOMPARE(svgTextForReaders(text, expected.size()), expected);
                QVERIFY(svgTextForReaders(text, expected.size() - 1).isNull());
            }
            QVERIFY2(refusedOnce, e.what);
        }
        const QString plain = QString::fromUtf8(plainDrawing(4096));
        QCOMPARE(svgTextForReaders(plain, plain.size()), plain);
        QVERIFY(svgTextForReaders(plain, plain.size() - 1).isNull());
    }

    // Depth and attributes are counted as the pass meets them: one past either limit is
    // refused, at the limit the text is handed on as it is. The limits hold for one element,
    // not for a drawing of many.
    void depthAndAttributesAreLimited()
    {
        const auto nested = [](int levels) {
            return QStringLiteral("<g>").repeated(levels) + QStringLiteral("<rect/>")
                   + QStringLiteral("</g>").repeated(levels);
        };
        // The rectangle is one level inside the outermost element.
        const QString atDepth = QStringLiteral("<svg>") + nested(kMaxSvgDepth - 2) + QStringLiteral("</svg>");
        QCOMPARE(svgTextForReaders(atDepth, kNoCap), atDepth);
        QVERIFY(svgTextForReaders(QStringLiteral("<svg>") + nested(kMaxSvgDepth - 1) + QStringLiteral("</svg>"), kNoCap)
                    .isNull());
        const QString again =
            QStringLiteral("<svg>") + nested(kMaxSvgDepth - 2).repeated(10) + QStringLiteral("</svg>");
        QCOMPARE(svgTextForReaders(again, kNoCap), again);

        const auto element = [](int attributes) {
            QString text = QStringLiteral("<g");
            for (int i = 0; i < attributes; ++i)
                text += QStringLiteral(" a%1='%1'").arg(i);
            return text + QStringLiteral("/>");
        };
        const QString atLimit =
            QStringLiteral("<svg>") + element(kMaxSvgAttributes).repeated(10) + QStringLiteral("</svg>");
        QCOMPARE(svgTextForReaders(atLimit, kNoCap), atLimit);
        const QString pastLimit = QStringLiteral("<svg>") + element(kMaxSvgAttributes + 1) + QStringLiteral("</svg>");
        QVERIFY(svgTextForReaders(pastLimit, kNoCap).isNull());
        // What a value holds is no attribute, a '>' in it no end of the element.
        const QString inValue = QStringLiteral("<svg a='> b=\"1\" &lt;g>'/>");
        QCOMPARE(svgTextForReaders(inValue, kNoCap), inValue);
    }

    // Document types where no reader would take them: after the drawing, inside it, twice,
    // in lower case. Refused.
    void documentTypesOutOfPlaceAreRefused()
    {
        for (const char *text : {"<svg/><!DOCTYPE svg>", "<svg><!DOCTYPE svg></svg>",
                                 "<!DOCTYPE svg><!DOCTYPE svg><svg/>", "<!doctype svg><svg/>",
                                 "<!DOCTYPE svg [ <!ENTITY a 'x'> <svg/>"})
            QVERIFY2(svgTextForReaders(QString::fromLatin1(text), kNoCap).isNull(), text);
        QCOMPARE(svgTextForReaders(QStringLiteral("<svg><!-- <!DOCTYPE svg> --></svg>"), kNoCap),
                 QStringLiteral("<svg><!-- <!DOCTYPE svg> --></svg>"));
    }
};

QTEST_GUILESS_MAIN(TstSvgReaderText)
#include "tst_svgreadertext.moc"
