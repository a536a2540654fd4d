#include "testutil.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QtTest>

namespace {
QAtomicInt g_rawCounter;
}

RawConnection::RawConnection(const QString &file)
    : m_name(QStringLiteral("raw-%1").arg(g_rawCounter.fetchAndAddRelaxed(1)))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(file);
    if (!db.open())
        qWarning("raw open failed: %s", qPrintable(db.lastError().text()));
}

RawConnection::~RawConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

QSqlDatabase RawConnection::db() const
{
    return QSqlDatabase::database(m_name, false);
}

bool RawConnection::exec(const QString &sql)
{
    QSqlQuery q(db());
    if (q.exec(sql))
        return true;
    qWarning("raw exec failed: %s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
    return false;
}

QVariant RawConnection::scalar(const QString &sql)
{
    QSqlQuery q(db());
    if (!q.exec(sql) || !q.next())
        return QVariant();
    return q.value(0);
}

int RawConnection::count(const QString &table, const QString &where)
{
    const QString sql = QStringLiteral("SELECT COUNT(*) FROM %1%2")
                            .arg(table, where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where);
    const QVariant v = scalar(sql);
    return v.isValid() ? v.toInt() : -1;
}
