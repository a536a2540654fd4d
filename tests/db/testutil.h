#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

// A second, independent connection on a database file, for looking at (or preparing) the raw
// tables behind the store's back. Closed and removed when it goes out of scope.
class RawConnection
{
public:
    explicit RawConnection(const QString &file);
    ~RawConnection();
    QSqlDatabase db() const;
    bool exec(const QString &sql);
    // The first column of the first row, or an invalid QVariant.
    QVariant scalar(const QString &sql);
    int count(const QString &table, const QString &where = QString());

private:
    QString m_name;
};
