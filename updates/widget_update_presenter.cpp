#include "widget_update_presenter.h"

#include "spinner_widget.h"

#include <QApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

WidgetUpdatePresenter::~WidgetUpdatePresenter()
{
    closePanel();
}

void WidgetUpdatePresenter::showPanel(const QString& status)
{
    closePanel();

    // A floating tool window without close, minimise or resize buttons that
    // shows up without taking the focus from whatever the user is doing.
    auto* panel = new QWidget(nullptr, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus
                                           | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
    panel->setAttribute(Qt::WA_ShowWithoutActivating);
    panel->setAttribute(Qt::WA_DeleteOnClose);
    panel->setWindowTitle(QStringLiteral("Ravlet Update"));

    auto* label = new QLabel(status, panel);
    QFont font = label->font();
    font.setPointSize(13);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);

    auto* layout = new QHBoxLayout(panel);
    layout->setSpacing(10);
    layout->setContentsMargins(24, 18, 24, 18);
    layout->addWidget(new SpinnerWidget(panel));
    layout->addWidget(label);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    panel->adjustSize();
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        panel->move(screen->availableGeometry().center() - panel->rect().center());
    panel->show();

    m_panel = panel;
    m_panelLabel = label;
}

void WidgetUpdatePresenter::setStatus(const QString& status)
{
    // The fixed-size layout refits the panel to the new text in place.
    if (m_panelLabel)
        m_panelLabel->setText(status);
}

void WidgetUpdatePresenter::closePanel()
{
    if (m_panel)
        m_panel->close();
    m_panel = nullptr;
    m_panelLabel = nullptr;
}

bool WidgetUpdatePresenter::runAlert(const UpdateAlert& alert)
{
    QMessageBox box(QMessageBox::Warning, alert.messageText, alert.messageText);
    box.setInformativeText(alert.informativeText);
    // The texts may name a folder the user chose; markup in a name is text.
    box.setTextFormat(Qt::PlainText);
    if (auto* informative = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    QPushButton* first = nullptr;
    for (const QString& text : alert.buttons) {
        QPushButton* button = box.addButton(text, first ? QMessageBox::RejectRole : QMessageBox::AcceptRole);
        if (!first)
            first = button;
    }
    box.setDefaultButton(first);
    // A menu-bar program is rarely the active one; bring the alert forward.
    QTimer::singleShot(0, &box, [&box] {
        box.raise();
        box.activateWindow();
    });
    box.exec();
    return first && box.clickedButton() == first;
}

bool WidgetUpdatePresenter::openUrl(const QUrl& url)
{
    return QDesktopServices::openUrl(url);
}

bool WidgetUpdatePresenter::requestTermination()
{
    QCoreApplication::quit();
    return true;
}
