#pragma once

// Sorting and filtering between a peer's file model and a browser's views: folders first in
// both sort orders, the modification column by time and the size column by bytes, all other
// columns by the locale's collation; hidden entries vanish below the shown folder unless
// asked for; names of entries older than a chosen age are dimmed.

#include <QCollator>
#include <QPointer>
#include <QSortFilterProxyModel>

#include <functional>
#include <vector>

class VfsModel;
struct VfsEntry;

class VfsSortFilterProxyModel : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    explicit VfsSortFilterProxyModel(QObject *parent = nullptr);
    ~VfsSortFilterProxyModel() override;

    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    void setSourceModel(QAbstractItemModel *model) override;

    void setRootIndex(const QModelIndex &sourceIndex);
    void setShowHidden(bool show);
    void setRecentSeconds(qint64 seconds);

    QString rootPath() const { return m_rootPath; }
    bool showHidden() const { return m_showHidden; }
    qint64 recentSeconds() const { return m_recentSeconds; }

    // Wall clock in ms since the epoch; tests substitute a fixed one.
    void setClock(std::function<qint64()> clock) { m_clock = std::move(clock); }

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    // The order of one folder's rows by one column, worked out once per sort.
    struct FolderRanks
    {
        const VfsEntry *folder;
        int column;
        std::vector<int> ranks; // by source row; a lower rank sorts first
    };

    int collate(const QString &left, const QString &right) const;
    int compareEntries(const VfsEntry *left, const VfsEntry *right, int column) const;
    const std::vector<int> &ranksOf(const VfsEntry *folder, int column) const;

    bool m_showHidden = false;
    qint64 m_recentSeconds = -1;
    QString m_rootPath;
    QPointer<VfsModel> m_files; // the source when it is a file model
    QCollator m_collator;       // the default one, as QString::localeAwareCompare uses
    bool m_sorting = false;     // inside one sort of this proxy
    mutable std::vector<FolderRanks> m_ranks; // of the sort under way
    std::function<qint64()> m_clock;
};
