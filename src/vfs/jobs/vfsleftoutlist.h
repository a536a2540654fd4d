#pragma once

// The items a copy job left out and why, for the job window's list once the job ends.
// Every item counts; only the first kMaxShown are kept with their reasons, so what the
// window is sent stays a page of text however much was left out. Lives on the job's thread;
// the job hands out copies.

#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>

struct VfsLeftOutItem
{
    QString path;    // as the job sends it
    QString shown;   // as a person reads it
    QString reason;
};

class VfsLeftOutList
{
public:
    static constexpr int kMaxShown = 1000;

    // False when `path` was left out before (a retry of the job meets it again).
    bool add(const QString &path, const QString &shown, const QString &reason);
    bool contains(const QString &path) const { return m_paths.contains(path); }
    // Whether anything whose path starts with `prefix` was left out.
    bool containsBelow(const QString &prefix) const;
    bool isEmpty() const { return m_paths.isEmpty(); }
    // Every item left out, shown or not.
    int count() const { return m_paths.size(); }
    const QVector<VfsLeftOutItem> &shown() const { return m_shown; }
    int notShown() const { return count() - m_shown.size(); }

private:
    QSet<QString> m_paths;
    QVector<VfsLeftOutItem> m_shown;
};

// "a, b, c and 4 more": the first `named` of `names` for a line of text, and how many of
// `total` (at least the names given) that leaves unnamed.
QString vfsFewNamed(const QStringList &names, int named, int total = 0);
