#pragma once

// The engine's display list as a list model for the popover's rows. It
// follows the engine in place: changed entries are updated, moved ones moved,
// new ones inserted and gone ones removed, so a row (and the slider under the
// user's finger) lives as long as its application stays in the list, however
// often the engine republishes.

#include "records.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

class RavletEngine;

class DisplayListModel : public QAbstractListModel {
    Q_OBJECT
    QML_ELEMENT
    // A RavletEngine; typed QObject so QML needs no registration of it.
    Q_PROPERTY(QObject* engine READ engineObject WRITE setEngineObject NOTIFY engineChanged)
    Q_PROPERTY(int count READ count NOTIFY countChanged)

public:
    enum Role { AppIdRole = Qt::UserRole + 1, NameRole, IconPathRole, IsActiveRole };

    explicit DisplayListModel(QObject* parent = nullptr);

    QObject* engineObject() const;
    void setEngineObject(QObject* engine);
    void setEngine(RavletEngine* engine);

    int count() const { return int(m_entries.size()); }
    const QList<AppEntry>& entries() const { return m_entries; }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

signals:
    void engineChanged();
    void countChanged();

private:
    void sync();
    void apply(const QList<AppEntry>& next);
    void update(qsizetype row, const AppEntry& entry);

    QPointer<RavletEngine> m_engine;
    QMetaObject::Connection m_connection;
    QList<AppEntry> m_entries;
};
