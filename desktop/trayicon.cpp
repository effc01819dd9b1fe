#include "desktop/trayicon.h"

#include <algorithm>

#include <QAction>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

namespace tw {

TrayIcon::TrayIcon(QIcon appIcon, QObject* parent)
    : QObject(parent), m_icon(std::move(appIcon)), m_badged(withBadge(m_icon))
{
    m_menu = new QMenu;
    m_showAction = m_menu->addAction(QStringLiteral("显示窗口"));
    QAction* history = m_menu->addAction(QStringLiteral("发现记录"));
    QAction* settings = m_menu->addAction(QStringLiteral("设置…"));
    m_runAction = m_menu->addAction(QStringLiteral("开始"));
    m_autostartAction = m_menu->addAction(QStringLiteral("开机时启动"));
    m_autostartAction->setCheckable(true);
    m_menu->addSeparator();
    QAction* quit = m_menu->addAction(QStringLiteral("退出"));
    connect(m_showAction, &QAction::triggered, this, &TrayIcon::showRequested);
    connect(history, &QAction::triggered, this, &TrayIcon::historyRequested);
    connect(settings, &QAction::triggered, this, &TrayIcon::settingsRequested);
    connect(m_runAction, &QAction::triggered, this, &TrayIcon::startStopRequested);
    connect(quit, &QAction::triggered, this, &TrayIcon::quitRequested);
    // toggled would also fire for setAutostart(); only the user's click counts.
    connect(m_autostartAction, &QAction::triggered, this, &TrayIcon::autostartToggled);

    m_tray = new QSystemTrayIcon(this);
    m_tray->setContextMenu(m_menu);
    connect(m_tray, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                    Q_EMIT showRequested();
                }
            });
    update();
}

TrayIcon::~TrayIcon()
{
    delete m_tray;
    delete m_menu;
}

bool TrayIcon::isAvailable()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void TrayIcon::show()
{
    m_tray->show();
}

void TrayIcon::hide()
{
    m_tray->hide();
}

bool TrayIcon::isVisible() const
{
    return m_tray->isVisible();
}

void TrayIcon::setRunning(bool active, bool canToggle)
{
    m_active = active;
    m_runAction->setText(active ? QStringLiteral("停止") : QStringLiteral("开始"));
    m_runAction->setEnabled(canToggle);
    update();
}

void TrayIcon::setLastPass(const QDateTime& when)
{
    m_lastPass = when;
    update();
}

void TrayIcon::setWaiting(int newItems)
{
    m_waiting = std::max(newItems, 0);
    update();
}

void TrayIcon::setAutostart(bool on)
{
    m_autostartAction->setChecked(on);
}

void TrayIcon::setFolder(const QString& folder)
{
    m_folder = QDir::cleanPath(folder);
    update();
}

QString TrayIcon::toolTip() const
{
    QString text = QStringLiteral("Tidewatch：") +
                   (m_active ? QStringLiteral("监控执行中") : QStringLiteral("监控未执行"));
    text += m_lastPass.isValid()
                ? QStringLiteral("，上次检测 ") + m_lastPass.toString(QStringLiteral("HH:mm"))
                : QStringLiteral("，尚未检测");
    if (m_waiting > 0) {
        text += QStringLiteral("，%1 件新宝贝未查看").arg(m_waiting);
    }
    if (!m_folder.isEmpty()) {
        text += QLatin1Char('\n') + QDir::toNativeSeparators(m_folder);
    }
    return text;
}

const QIcon& TrayIcon::icon() const
{
    return m_waiting > 0 ? m_badged : m_icon;
}

QIcon TrayIcon::withBadge(const QIcon& icon)
{
    constexpr int kSize = 64;
    QPixmap pixmap = icon.pixmap(kSize, kSize);
    if (pixmap.isNull()) {
        pixmap = QPixmap(kSize, kSize);
        pixmap.fill(Qt::transparent);
    }
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal d = pixmap.width() * 0.45;
    const QRectF dot(pixmap.width() - d - 1, 1, d, d);
    painter.setPen(QPen(Qt::white, pixmap.width() / 32.0));
    painter.setBrush(QColor(0xe5, 0x39, 0x35));
    painter.drawEllipse(dot);
    return QIcon(pixmap);
}

void TrayIcon::update()
{
    m_tray->setIcon(icon());
    m_tray->setToolTip(toolTip());
}

void TrayIcon::showMessage(const QString& title, const QString& text)
{
    m_tray->showMessage(title, text, QSystemTrayIcon::Warning);
}

} // namespace tw
