#include "app/base/devicekind.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestDeviceKind : public QObject
{
    Q_OBJECT

    static void supply(const QString &root, const QString &name, const QByteArray &type, const QByteArray &scope = {})
    {
        QDir(root).mkpath(name);
        QFile t(root + QLatin1Char('/') + name + QStringLiteral("/type"));
        QVERIFY(t.open(QIODevice::WriteOnly));
        t.write(type + '\n');
        if (!scope.isEmpty()) {
            QFile s(root + QLatin1Char('/') + name + QStringLiteral("/scope"));
            QVERIFY(s.open(QIODevice::WriteOnly));
            s.write(scope + '\n');
        }
    }

private Q_SLOTS:
    void probe()
    {
        QTemporaryDir none;
        QCOMPARE(probeDeviceKind(none.path() + QStringLiteral("/missing")), DeviceKind::Desktop);

        // Mains only, plus a wireless mouse's battery: still a desktop.
        QTemporaryDir desk;
        supply(desk.path(), QStringLiteral("AC"), "Mains");
        supply(desk.path(), QStringLiteral("hidpp_battery_0"), "Battery", "Device");
        QCOMPARE(probeDeviceKind(desk.path()), DeviceKind::Desktop);

        // A system battery (no scope file, as most laptops report it) makes a laptop.
        QTemporaryDir lap;
        supply(lap.path(), QStringLiteral("AC"), "Mains");
        supply(lap.path(), QStringLiteral("BAT0"), "Battery");
        QCOMPARE(probeDeviceKind(lap.path()), DeviceKind::Laptop);
    }
};

QTEST_GUILESS_MAIN(TestDeviceKind)
#include "tst_devicekind.moc"
