#pragma once

// The engine's display list as a list model for the popover's rows, with
// everything a row shows as its roles: name, icon, running state, gain,
// mute, hidden flag, level, the output device chosen for it and whether
// its settings can be applied. It follows
// the engine in place: changed entries are updated (only the roles that
// changed), moved ones moved, new ones inserted and gone ones removed, so
// a row (and the slider under the user's finger) lives as long as its
// application stays in the list, however often the engine republishes.
//
// Rows write through the model as through any role-per-property model: the
// gain, the mute, the hidden flag and the output by setData (in QML,
// `model.gain = v`), so that a row knows its roles and nothing of the engine.
//
// Levels change thirty times a second. They are followed only while
// `metering` is on (the popover sets it while it is on screen), each change a
// dataChanged of that row's level role alone; otherwise every level reads 0
// and a meter tick costs the model nothing.

#include "records.h"

#include <QAbstractListModel>
#include <QHash>
#include <QList>
#include <QPointer>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

#include <optional>

class RavletEngine;

class DisplayListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    // A RavletEngine; typed QObject so QML needs no registration of it.
    Q_PROPERTY(QObject* engine READ engineObject WRITE setEngineObject NOTIFY engineChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)
    Q_PROPERTY(bool metering READ metering WRITE setMetering NOTIFY meteringChanged)
    // The output's level, 0 while not metering. Read here, not off the
    // engine: a binding to the engine's own stays connected after the
    // popover closes, and the meters would never rest.
    Q_PROPERTY(float masterLevel READ masterLevel NOTIFY masterLevelChanged)
    // Running applications kept out of the list because they are hidden.
    Q_PROPERTY(int hiddenPlaying READ hiddenPlaying NOTIFY hiddenPlayingChanged)
    // The devices a row can be sent to, as {uid, name} maps: every output
    // with a UID. Announced only when it changes, not on every refresh.
    Q_PROPERTY(QVariantList outputs READ outputs NOTIFY outputsChanged)

public:
    enum Role {
        AppIdRole = Qt::UserRole + 1,
        NameRole,
        IconPathRole,
        IsActiveRole,
        GainRole,     // the stored gain; undefined when there is none
        MutedRole,
        HiddenRole,
        LevelRole,    // 0 while not metering
        OutputRole,   // the chosen device's UID; empty for the system's default
        // The chosen device's name: as it is now, or while it is away as it
        // was when last seen (empty if it has not been seen since start).
        OutputNameRole,
        // Whether the chosen device is there; when not, the application plays
        // on the default and its choice waits for the device.
        OutputPresentRole,
        // Whether the row's gain, mute and device go unapplied: the
        // application needs a tap and every slot is taken.
        BeyondSlotsRole,
        // What is heard, in percent, where another program's volume on the
        // application's streams multiplies with the row's; -1 where none does.
        HeardRole,
    };

    explicit DisplayListModel(QObject* parent = nullptr);

    QObject* engineObject() const;
    void setEngineObject(QObject* engine);
    void setEngine(RavletEngine* engine);

    bool metering() const { return m_metering; }
    float masterLevel() const { return m_masterLevel; }
    void setMetering(bool metering);

    int count() const { return int(m_rows.size()); }
    int hiddenPlaying() const { return m_hiddenPlaying; }
    const QVariantList& outputs() const { return m_outputs; }
    QList<AppEntry> entries() const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;
    // GainRole (a number; stored as the engine stores it), MutedRole,
    // HiddenRole and OutputRole (a present device's UID, or empty for the
    // system's default) are writable. Main thread only.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Places the application `id` before `beforeID`, as a drop of one row on
    // another does; the engine stores the order. Main thread only.
    Q_INVOKABLE void moveApp(const QString& id, const QString& beforeID);
    // Looks for applications again (a row whose application is not running).
    Q_INVOKABLE void rescan();

signals:
    void engineChanged();
    void countChanged();
    void meteringChanged();
    void masterLevelChanged();
    void hiddenPlayingChanged();
    void outputsChanged();

private:
    struct Row {
        AppEntry entry;
        std::optional<float> gain;
        bool muted = false;
        bool hidden = false;
        float level = 0.0f;
        QString output;
        QString outputName;
        bool outputPresent = false;
        bool beyondSlots = false;
        int heard = -1;
    };

    void sync();
    void syncLevels();
    void syncMasterLevel();
    // Devices and choices change apart from the list: the output roles alone.
    void syncOutputs();
    void setOutputFields(Row& row) const;
    void followLevels();
    Row rowFor(const AppEntry& entry) const;
    float levelOf(const QString& id) const;
    void apply(const QList<AppEntry>& next);
    void update(qsizetype row, Row next);

    QPointer<RavletEngine> m_engine;
    QMetaObject::Connection m_listConnection;
    QMetaObject::Connection m_levelConnection;
    QMetaObject::Connection m_masterLevelConnection;
    QList<QMetaObject::Connection> m_outputConnections;
    QList<Row> m_rows;
    bool m_metering = true;
    float m_masterLevel = 0.0f;
    int m_hiddenPlaying = 0;
    QVariantList m_outputs;
    // Each device's name by UID, as last seen: a chosen device that is
    // unplugged is still named in its row's menu.
    QHash<QString, QString> m_deviceNames;
};
