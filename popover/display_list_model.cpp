#include "display_list_model.h"

#include "engine.h"

#include <QSet>

DisplayListModel::DisplayListModel(QObject* parent)
    : QAbstractListModel(parent)
{
}

QObject* DisplayListModel::engineObject() const
{
    return m_engine;
}

void DisplayListModel::setEngineObject(QObject* engine)
{
    setEngine(qobject_cast<RavletEngine*>(engine));
}

void DisplayListModel::setEngine(RavletEngine* engine)
{
    if (engine == m_engine)
        return;
    disconnect(m_connection);
    m_engine = engine;
    if (engine)
        m_connection = connect(engine, &RavletEngine::displayAppsChanged, this, &DisplayListModel::sync);
    sync();
    emit engineChanged();
}

int DisplayListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_entries.size());
}

QVariant DisplayListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const AppEntry& entry = m_entries.at(index.row());
    switch (role) {
    case AppIdRole:
        return entry.id;
    case Qt::DisplayRole:
    case NameRole:
        return entry.name;
    case IconPathRole:
        return entry.iconPath.value_or(QString());
    case IsActiveRole:
        return entry.isActive;
    default:
        return {};
    }
}

QHash<int, QByteArray> DisplayListModel::roleNames() const
{
    return {{AppIdRole, "appId"}, {NameRole, "name"}, {IconPathRole, "iconPath"}, {IsActiveRole, "isActive"}};
}

void DisplayListModel::sync()
{
    const int before = count();
    apply(m_engine ? m_engine->displayApps() : QList<AppEntry>());
    if (count() != before)
        emit countChanged();
}

void DisplayListModel::apply(const QList<AppEntry>& next)
{
    QSet<QString> nextIDs;
    for (const AppEntry& entry : next)
        nextIDs.insert(entry.id);
    // Ids are unique in a display list; if one ever is not, matching rows by
    // id is meaningless and only a reset is right.
    if (nextIDs.size() != next.size()) {
        beginResetModel();
        m_entries = next;
        endResetModel();
        return;
    }

    for (qsizetype row = m_entries.size() - 1; row >= 0; --row) {
        if (nextIDs.contains(m_entries.at(row).id))
            continue;
        beginRemoveRows({}, int(row), int(row));
        m_entries.removeAt(row);
        endRemoveRows();
    }

    // Every remaining row is in next, so placing next's entries one by one,
    // front to back, leaves nothing behind.
    for (qsizetype row = 0; row < next.size(); ++row) {
        const AppEntry& entry = next.at(row);
        if (row < m_entries.size() && m_entries.at(row).id == entry.id) {
            update(row, entry);
            continue;
        }
        qsizetype from = row + 1;
        while (from < m_entries.size() && m_entries.at(from).id != entry.id)
            ++from;
        if (from < m_entries.size()) {
            beginMoveRows({}, int(from), int(from), {}, int(row));
            m_entries.move(from, row);
            endMoveRows();
            update(row, entry);
        } else {
            beginInsertRows({}, int(row), int(row));
            m_entries.insert(row, entry);
            endInsertRows();
        }
    }
}

void DisplayListModel::update(qsizetype row, const AppEntry& entry)
{
    if (m_entries.at(row) == entry)
        return;
    m_entries[row] = entry;
    const QModelIndex changed = index(int(row));
    emit dataChanged(changed, changed);
}
