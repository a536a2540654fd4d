// Which node a drive or folder node hangs from, and how dropped paths are kept.

#include "ui/nodeview/noderelations.h"

#include <QtTest>

class TestNodeRelations : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void parentsFollowPathParts()
    {
        const QString pc = QStringLiteral("{pc}");
        const std::vector<NodeRelationInput> nodes = {
            {pc, "peer", "%", true},
            {pc, "drive", "C:\\", true},
            {pc, "directory", "C:\\a", true},
            {pc, "directory", "C:\\ab\\c", true},     // not below C:\a: the parts differ
            {pc, "directory", "C:\\a\\b\\c", true},   // two levels below C:\a
            {"{other}", "directory", "C:\\a\\x", true},
            {pc, "directory", "nosep", true},
        };
        const std::vector<NodeRelation> r = computeNodeRelations(nodes);
        QCOMPARE(r[1].parent, 0);      // the drive hangs from its computer
        QCOMPARE(r[2].parent, 1);
        QVERIFY(r[2].hasChildren);
        QCOMPARE(r[3].parent, 1);
        QVERIFY(r[3].indirect);
        QCOMPARE(r[4].parent, 2);
        QVERIFY(r[4].indirect);
        QCOMPARE(r[5].parent, -1);     // another computer's folder has no parent here
        QVERIFY(!r[6].related);
        QVERIFY(!r[0].related);
    }

    void unknownComputerIsNeverIndirect()
    {
        const std::vector<NodeRelationInput> nodes = {{"{x}", "drive", "/", false},
                                                      {"{x}", "directory", "/home/a/b", false}};
        const std::vector<NodeRelation> r = computeNodeRelations(nodes);
        QCOMPARE(r[1].parent, 0);
        QVERIFY(!r[1].indirect);
    }

    void droppedPathsAreNormalised()
    {
        QCOMPARE(normalizeNodePath("/home/a/"), QString("/home/a"));
        QCOMPARE(normalizeNodePath("/home//a/./b/.."), QString("/home/a"));
        QCOMPARE(normalizeNodePath("/"), QString("/"));
        QCOMPARE(normalizeNodePath("C:\\Users\\"), QString("C:\\Users"));
        QCOMPARE(normalizeNodePath(QString()), QString());
    }
};

QTEST_GUILESS_MAIN(TestNodeRelations)
#include "tst_noderelations.moc"
