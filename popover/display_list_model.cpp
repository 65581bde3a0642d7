#include "display_list_model.h"

#include "engine.h"
#include "view_logic.h"

#include <QSet>

#include <algorithm>
#include <cmath>

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
    disconnect(m_listConnection);
    for (const QMetaObject::Connection& connection : std::as_const(m_outputConnections))
        disconnect(connection);
    m_outputConnections.clear();
    m_engine = engine;
    // Every input of the display list, gains, mutes and hidden flags among
    // them, announces itself through displayAppsChanged.
    if (engine) {
        m_listConnection = connect(engine, &RavletEngine::displayAppsChanged, this, &DisplayListModel::sync);
        for (auto changed : {&RavletEngine::outputsChanged, &RavletEngine::outputChoicesChanged})
            m_outputConnections.append(connect(engine, changed, this, &DisplayListModel::syncOutputs));
    }
    followLevels();
    syncMasterLevel();
    syncOutputs();
    sync();
    emit engineChanged();
}

void DisplayListModel::setMetering(bool metering)
{
    if (metering == m_metering)
        return;
    m_metering = metering;
    followLevels();
    syncLevels();
    syncMasterLevel();
    emit meteringChanged();
}

void DisplayListModel::followLevels()
{
    disconnect(m_levelConnection);
    disconnect(m_masterLevelConnection);
    if (m_engine && m_metering) {
        m_levelConnection = connect(m_engine, &RavletEngine::levelsChanged, this, &DisplayListModel::syncLevels);
        m_masterLevelConnection =
            connect(m_engine, &RavletEngine::masterLevelChanged, this, &DisplayListModel::syncMasterLevel);
    }
}

void DisplayListModel::syncMasterLevel()
{
    const float level = m_metering && m_engine ? m_engine->masterLevel() : 0.0f;
    if (level == m_masterLevel)
        return;
    m_masterLevel = level;
    emit masterLevelChanged();
}

QList<AppEntry> DisplayListModel::entries() const
{
    QList<AppEntry> entries;
    entries.reserve(m_rows.size());
    for (const Row& row : m_rows)
        entries.append(row.entry);
    return entries;
}

int DisplayListModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant DisplayListModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row& row = m_rows.at(index.row());
    switch (role) {
    case AppIdRole:
        return row.entry.id;
    case Qt::DisplayRole:
    case NameRole:
        return row.entry.name;
    case IconPathRole:
        return row.entry.iconPath.value_or(QString());
    case IsActiveRole:
        return row.entry.isActive;
    case GainRole:
        return row.gain ? QVariant(*row.gain) : QVariant();
    case MutedRole:
        return row.muted;
    case HiddenRole:
        return row.hidden;
    case LevelRole:
        return row.level;
    case OutputRole:
        return row.output;
    case OutputNameRole:
        return row.outputName;
    case OutputPresentRole:
        return row.outputPresent;
    case BeyondSlotsRole:
        return row.beyondSlots;
    case HeardRole:
        return row.heard;
    default:
        return {};
    }
}

QHash<int, QByteArray> DisplayListModel::roleNames() const
{
    return {{AppIdRole, "appId"},   {NameRole, "name"},           {IconPathRole, "iconPath"},
            {IsActiveRole, "isActive"}, {GainRole, "gain"},       {MutedRole, "muted"},
            {HiddenRole, "hidden"}, {LevelRole, "level"},         {OutputRole, "output"},
            {OutputNameRole, "outputName"}, {OutputPresentRole, "outputPresent"},
            {BeyondSlotsRole, "beyondSlots"}, {HeardRole, "heard"}};
}

float DisplayListModel::levelOf(const QString& id) const
{
    return m_metering && m_engine ? m_engine->levels().value(id, 0.0f) : 0.0f;
}

DisplayListModel::Row DisplayListModel::rowFor(const AppEntry& entry) const
{
    Row row;
    row.entry = entry;
    row.level = levelOf(entry.id);
    if (!m_engine)
        return row;
    const auto gain = m_engine->gains().constFind(entry.id);
    if (gain != m_engine->gains().cend())
        row.gain = *gain;
    row.muted = m_engine->mutes().value(entry.id, false);
    row.hidden = m_engine->hidden().contains(entry.id);
    row.beyondSlots = m_engine->beyondSlots().contains(entry.id);
    if (const float own = m_engine->ownVolume(entry.id); own != 1.0f)
        row.heard = int(std::lround(popover::shownGain(row.gain) * own * 100.0f));
    setOutputFields(row);
    return row;
}

void DisplayListModel::setOutputFields(Row& row) const
{
    row.output = m_engine ? m_engine->outputChoices().value(row.entry.id) : QString();
    row.outputName = m_deviceNames.value(row.output);
    row.outputPresent = !row.output.isEmpty()
        && std::any_of(m_outputs.cbegin(), m_outputs.cend(), [&row](const QVariant& device) {
               return device.toMap().value(QStringLiteral("uid")).toString() == row.output;
           });
}

// On every refresh the engine republishes its devices, changed or not; the
// rows and the device list are touched only where something did change.
void DisplayListModel::syncOutputs()
{
    QVariantList outputs;
    if (m_engine) {
        for (const OutputDevice& device : m_engine->outputs()) {
            // Without a UID a device cannot be remembered as anyone's choice.
            if (device.uid.isEmpty())
                continue;
            m_deviceNames.insert(device.uid, device.name);
            outputs.append(QVariantMap{{QStringLiteral("uid"), device.uid}, {QStringLiteral("name"), device.name}});
        }
    }
    if (outputs != m_outputs) {
        m_outputs = std::move(outputs);
        emit outputsChanged();
    }
    for (qsizetype row = 0; row < m_rows.size(); ++row) {
        Row next = m_rows.at(row);
        setOutputFields(next);
        update(row, std::move(next));
    }
}

void DisplayListModel::sync()
{
    const int before = count();
    apply(m_engine ? m_engine->displayApps() : QList<AppEntry>());
    if (count() != before)
        emit countChanged();

    int hiddenPlaying = 0;
    if (m_engine && !m_engine->showHidden()) {
        for (const AudioApp& app : m_engine->apps())
            hiddenPlaying += m_engine->hidden().contains(app.id);
    }
    if (hiddenPlaying != m_hiddenPlaying) {
        m_hiddenPlaying = hiddenPlaying;
        emit hiddenPlayingChanged();
    }
}

Qt::ItemFlags DisplayListModel::flags(const QModelIndex& index) const
{
    return QAbstractListModel::flags(index) | (index.isValid() ? Qt::ItemIsEditable : Qt::NoItemFlags);
}

// The engine republishes its display list on each write, and sync brings the
// row (one dataChanged for what changed) in line with it.
bool DisplayListModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (!m_engine || !checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return false;
    const QString id = m_rows.at(index.row()).entry.id;
    switch (role) {
    case GainRole: {
        bool ok = false;
        const double gain = value.toDouble(&ok);
        // Nothing that is not a number reaches the mix or the settings.
        if (!ok || !std::isfinite(gain))
            return false;
        m_engine->setGain(id, std::clamp(float(gain), 0.0f, popover::kMaxGain));
        return true;
    }
    case MutedRole:
        m_engine->setMuted(id, value.toBool());
        return true;
    case HiddenRole:
        m_engine->setHidden(id, value.toBool());
        return true;
    case OutputRole:
        // A UID no present device has is refused by the engine, which keeps
        // the choice the application had.
        return value.typeId() == QMetaType::QString && m_engine->setOutputOf(id, value.toString());
    default:
        return false;
    }
}

void DisplayListModel::moveApp(const QString& id, const QString& beforeID)
{
    if (m_engine)
        m_engine->moveApp(id, beforeID);
}

void DisplayListModel::rescan()
{
    if (m_engine)
        m_engine->refresh();
}

// Called on every meter tick while metering: a row whose level did not move
// is left alone.
void DisplayListModel::syncLevels()
{
    static const QList<int> kLevelRole{LevelRole};
    for (qsizetype row = 0; row < m_rows.size(); ++row) {
        const float level = levelOf(m_rows.at(row).entry.id);
        if (level == m_rows.at(row).level)
            continue;
        m_rows[row].level = level;
        const QModelIndex changed = index(int(row));
        emit dataChanged(changed, changed, kLevelRole);
    }
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
        m_rows.clear();
        for (const AppEntry& entry : next)
            m_rows.append(rowFor(entry));
        endResetModel();
        return;
    }

    for (qsizetype row = m_rows.size() - 1; row >= 0; --row) {
        if (nextIDs.contains(m_rows.at(row).entry.id))
            continue;
        beginRemoveRows({}, int(row), int(row));
        m_rows.removeAt(row);
        endRemoveRows();
    }

    // Every remaining row is in next, so placing next's entries one by one,
    // front to back, leaves nothing behind.
    for (qsizetype row = 0; row < next.size(); ++row) {
        const AppEntry& entry = next.at(row);
        if (row < m_rows.size() && m_rows.at(row).entry.id == entry.id) {
            update(row, rowFor(entry));
            continue;
        }
        qsizetype from = row + 1;
        while (from < m_rows.size() && m_rows.at(from).entry.id != entry.id)
            ++from;
        if (from < m_rows.size()) {
            beginMoveRows({}, int(from), int(from), {}, int(row));
            m_rows.move(from, row);
            endMoveRows();
            update(row, rowFor(entry));
        } else {
            beginInsertRows({}, int(row), int(row));
            m_rows.insert(row, rowFor(entry));
            endInsertRows();
        }
    }
}

// One dataChanged naming exactly the roles that changed, so that a row's
// bindings to the others are not evaluated again.
void DisplayListModel::update(qsizetype row, Row next)
{
    Row& current = m_rows[row];
    QList<int> roles;
    if (next.entry.name != current.entry.name)
        roles << NameRole << Qt::DisplayRole;
    if (next.entry.iconPath != current.entry.iconPath)
        roles << IconPathRole;
    if (next.entry.isActive != current.entry.isActive)
        roles << IsActiveRole;
    if (next.gain != current.gain)
        roles << GainRole;
    if (next.muted != current.muted)
        roles << MutedRole;
    if (next.hidden != current.hidden)
        roles << HiddenRole;
    if (next.level != current.level)
        roles << LevelRole;
    if (next.output != current.output)
        roles << OutputRole;
    if (next.outputName != current.outputName)
        roles << OutputNameRole;
    if (next.outputPresent != current.outputPresent)
        roles << OutputPresentRole;
    if (next.beyondSlots != current.beyondSlots)
        roles << BeyondSlotsRole;
    if (next.heard != current.heard)
        roles << HeardRole;
    current = std::move(next);
    if (roles.isEmpty())
        return;
    const QModelIndex changed = index(int(row));
    emit dataChanged(changed, changed, roles);
}
