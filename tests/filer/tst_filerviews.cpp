#include <QtTest>
class TestFilerViews : public QObject { Q_OBJECT };
QTEST_MAIN(TestFilerViews)
#include "tst_filerviews.moc"
