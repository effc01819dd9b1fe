#include "ui/watchdlg.h"

#include "core/zuvira.h"
#include "ui/qtconvert.h"
#include "ui/watchlistmodel.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>

// Resources of a static library must be registered by name, outside any namespace.
static void initUiResources()
{
    Q_INIT_RESOURCE(ui);
}

namespace tw {

CWatchDlg::CWatchDlg(QWidget* parent) : QDialog(parent)
{
    initUiResources();
    m_appIcon = QIcon(QStringLiteral(":/tidewatch/tidewatch.png"));
    createControls();
}

CWatchDlg::~CWatchDlg()
{
    OnDestroy();
}

bool CWatchDlg::OnInitDialog(WatchListModel& rows, const WatchListRoom& list, int interval,
                             bool filtkc)
{
    setWindowIcon(m_appIcon);
    m_list = &list;
    showInterval(interval);
    m_filterStock->setChecked(filtkc);
    m_watchListView->setModel(&rows);
    m_watchListView->setShowGrid(true);
    m_watchListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_watchListView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_watchListView->setColumnWidth(WatchListModel::UrlColumn, 450);
    m_watchListView->setColumnWidth(WatchListModel::StatusColumn, 220);
    return true;
}

void CWatchDlg::OnImport()
{
    if (!m_closing) {
        Q_EMIT importRequested();
    }
}

void CWatchDlg::OnAdd()
{
    if (!m_closing) {
        Q_EMIT addRequested();
    }
}

void CWatchDlg::OnStartStop()
{
    if (!m_closing) {
        Q_EMIT startStopRequested();
    }
}

void CWatchDlg::OnStopAlarm()
{
    m_stopAlarm->setEnabled(false);
    Q_EMIT stopAlarmRequested();
}

void CWatchDlg::OnWatchListDblClk(int row)
{
    if (row >= 0 && !m_closing) {
        Q_EMIT itemListRequested(row);
    }
}

void CWatchDlg::OnClearData()
{
    if (!m_closing) {
        Q_EMIT clearDataRequested();
    }
}

void CWatchDlg::OnMarkAllSeen(int row)
{
    if (!m_closing) {
        Q_EMIT markAllSeenRequested(row);
    }
}

void CWatchDlg::OnHistory()
{
    if (!m_closing) {
        Q_EMIT historyRequested();
    }
}

void CWatchDlg::OnSettings()
{
    if (!m_closing) {
        Q_EMIT settingsRequested();
    }
}

QString CWatchDlg::intervalText() const
{
    return m_interval->text();
}

bool CWatchDlg::filterStock() const
{
    return m_filterStock->isChecked();
}

void CWatchDlg::focusInterval()
{
    m_interval->setFocus();
}

void CWatchDlg::showInterval(int interval)
{
    m_interval->setText(qs(CCore::getStrInt(interval)));
}

void CWatchDlg::showFilterStock(bool on)
{
    m_filterStock->setChecked(on);
}

void CWatchDlg::showRunState(RunController::State state)
{
    switch (state) {
    case RunController::State::Running:
        m_start->setText(QStringLiteral("停止"));
        m_start->setEnabled(true);
        showStatus(QStringLiteral("执行中"));
        break;
    case RunController::State::Stopping:
    case RunController::State::Marking:
        m_start->setEnabled(false);
        break;
    case RunController::State::Idle:
        m_start->setEnabled(true);
        break;
    case RunController::State::Closing:
        break;
    }
}

void CWatchDlg::showRunEnded()
{
    showStatus(QStringLiteral("停止。"));
    m_start->setText(QStringLiteral("执行"));
}

void CWatchDlg::showStatus(const QString& text)
{
    m_status->setText(text);
    m_status->setToolTip(text);
}

void CWatchDlg::showNote(const QString& text, const QString& toolTip)
{
    m_noticeLabel->setText(text);
    m_noticeLabel->setToolTip(toolTip);
    m_noticeLabel->setVisible(!text.isEmpty());
}

void CWatchDlg::enableStopAlarm()
{
    m_stopAlarm->setEnabled(true);
}

bool CWatchDlg::inView() const
{
    return isVisible() && !isMinimized() && isActiveWindow();
}

void CWatchDlg::closeBySignal()
{
    m_closing = true;
    if (isVisible()) {
        close();
    } else if (m_hidesToTray) {
        // Hidden in the tray, where a close event does not reach the dialog.
        reject();
    }
}

void CWatchDlg::closeEvent(QCloseEvent* e)
{
    if (m_hidesToTray && !m_closing) {
        e->ignore();
        hide();
        return;
    }
    QDialog::closeEvent(e);
}

void CWatchDlg::done(int result)
{
    OnDestroy();
    QDialog::done(result);
}

void CWatchDlg::OnDestroy()
{
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    Q_EMIT closingDown();
}

void CWatchDlg::showAtStart(bool minimized)
{
    if (!minimized) {
        show();
    } else if (!m_hidesToTray) {
        showMinimized();
    }
}

void CWatchDlg::bringToFront()
{
    if (isMinimized()) {
        showNormal();
    }
    show();
    raise();
    activateWindow();
}

bool CWatchDlg::eventFilter(QObject* watched, QEvent* e)
{
    if (watched == this && (e->type() == QEvent::Show || e->type() == QEvent::WindowActivate)) {
        Q_EMIT windowSeen();
    }
    if (e->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(e)->key();
        if (key == Qt::Key_Escape || key == Qt::Key_Return || key == Qt::Key_Enter) {
            return true;
        }
    }
    return QDialog::eventFilter(watched, e);
}

} // namespace tw
