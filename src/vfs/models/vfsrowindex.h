#pragma once

// The rows of one folder by name and link target, while a listing merges into it (GUI thread,
// owned by the listing's record). An open-addressed table of row numbers and hashes: the
// names stay in the rows, so a folder of 100,000 rows costs one allocation to index and none
// to drop, where a hash of strings made and freed one node per row.

#include <QHash>
#include <QString>

#include <cstddef>
#include <vector>

class VfsRowIndex
{
public:
    static uint hashOf(const QString &name, const QString &linkTarget)
    {
        const uint h = qHash(name);
        return linkTarget.isEmpty() ? h : h ^ (qHash(linkTarget) * 0x9E3779B1u);
    }

    // Room for `rows` rows without growing.
    void reserve(std::size_t rows)
    {
        std::size_t size = 16;
        while (size < rows * 2)
            size *= 2;
        if (size > m_slots.size())
            rehash(size);
    }

    void clear()
    {
        std::vector<Slot>().swap(m_slots);
        m_count = 0;
    }

    void insert(uint hash, int row)
    {
        if ((m_count + 1) * 2 > m_slots.size())
            rehash(m_slots.empty() ? 16 : m_slots.size() * 2);
        place(hash, row);
        ++m_count;
    }

    // A row inserted under `hash` for which `matches(row)` holds; -1 when none.
    template <typename Matches>
    int find(uint hash, Matches matches) const
    {
        if (m_slots.empty())
            return -1;
        const std::size_t mask = m_slots.size() - 1;
        for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
            const Slot &slot = m_slots[i];
            if (slot.row < 0)
                return -1;
            if (slot.hash == hash && matches(slot.row))
                return slot.row;
        }
    }

private:
    struct Slot
    {
        uint hash = 0;
        int row = -1;
    };

    void place(uint hash, int row)
    {
        const std::size_t mask = m_slots.size() - 1;
        std::size_t i = hash & mask;
        while (m_slots[i].row >= 0)
            i = (i + 1) & mask;
        m_slots[i].hash = hash;
        m_slots[i].row = row;
    }

    void rehash(std::size_t size)
    {
        std::vector<Slot> old;
        old.swap(m_slots);
        m_slots.assign(size, Slot());
        for (const Slot &slot : old) {
            if (slot.row >= 0)
                place(slot.hash, slot.row);
        }
    }

    std::vector<Slot> m_slots;
    std::size_t m_count = 0;
};
