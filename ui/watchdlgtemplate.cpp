#include "core/text.h"
#include "core/watchlistroom.h"
#include "ui/dialogunits.h"
#include "ui/qtconvert.h"
#include "ui/watchdlg.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTableView>

// The main window's template and its row menu: the controls, ids, places and
// tab order, as a resource file would hold them, and what each is wired to.
namespace tw {

namespace {

template <typename W>
W* place(QWidget* parent, const DialogUnits& du, int id, const char* name, int x, int y, int w,
         int h)
{
    auto* widget = new W(parent);
    if (name) {
        widget->setObjectName(QLatin1String(name));
    }
    widget->setProperty("controlId", id);
    widget->setGeometry(du.rect(x, y, w, h));
    return widget;
}

} // namespace

void CWatchDlg::createControls()
{
    setObjectName(QStringLiteral("IDD_WATCH"));
    setProperty("controlId", IDD);
    setWindowTitle(QStringLiteral("Tidewatch"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogUnits::templateFont());
    const DialogUnits du(font());
    setFixedSize(du.x(495), du.y(272));

    // Template order, which is also the tab order.
    m_start = place<QPushButton>(this, du, IDC_START, "IDC_START", 438, 251, 50, 14);
    m_start->setText(QStringLiteral("开始"));

    m_interval = place<QLineEdit>(this, du, IDC_INTERVAL, "IDC_INTERVAL", 51, 7, 39, 14);
    m_interval->setAlignment(Qt::AlignCenter);
    // Typing takes digits only; a stored negative number is still shown as is.
    m_interval->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), m_interval));

    m_watchListView =
        place<QTableView>(this, du, IDC_WATCH_LIST, "IDC_WATCH_LIST", 7, 42, 481, 188);
    m_watchListView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_watchListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_watchListView->verticalHeader()->hide();
    // Rows as compact as a report list's, not the item view's roomy default.
    m_watchListView->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    m_watchListView->setWordWrap(false);

    m_status = place<QLabel>(this, du, IDC_STATUS, "IDC_STATUS", 7, 257, 178, 8);
    m_status->setText(QStringLiteral("就绪"));
    m_status->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto* intervalLabel = place<QLabel>(this, du, -1, "IDC_STATIC_INTERVAL", 7, 9, 41, 8);
    intervalLabel->setText(QStringLiteral("检测间隔："));
    auto* secondsLabel = place<QLabel>(this, du, -1, "IDC_STATIC_SECONDS", 98, 9, 9, 8);
    secondsLabel->setText(QStringLiteral("秒"));

    m_import = place<QPushButton>(this, du, IDC_IMPORT, "IDC_IMPORT", 438, 26, 50, 14);
    m_import->setText(QStringLiteral("导入"));

    m_add = place<QPushButton>(this, du, IDC_ADD, "IDC_ADD", 273, 26, 50, 14);
    m_add->setText(QStringLiteral("添加"));

    m_history = place<QPushButton>(this, du, IDC_HISTORY, "IDC_HISTORY", 383, 26, 50, 14);
    m_history->setText(QStringLiteral("发现记录"));

    m_settings = place<QPushButton>(this, du, IDC_SETTINGS, "IDC_SETTINGS", 328, 26, 50, 14);
    m_settings->setText(QStringLiteral("设置…"));

    m_stopAlarm = place<QPushButton>(this, du, IDC_STOP_ALARM, "IDC_STOP_ALARM", 295, 251, 50, 14);
    m_stopAlarm->setText(QStringLiteral("停止报警"));
    m_stopAlarm->setEnabled(false);
    m_stopAlarm->hide();

    m_filterStock =
        place<QCheckBox>(this, du, IDC_FILTER_STOCK, "IDC_FILTER_STOCK", 158, 7, 48, 10);
    m_filterStock->setText(QStringLiteral("过滤库存"));
    m_filterStock->hide();

    m_clearData = place<QPushButton>(this, du, IDC_CLEAR_DATA, "IDC_CLEAR_DATA", 223, 7, 50, 14);
    m_clearData->setText(QStringLiteral("清空数据"));
    m_clearData->hide();

    // Between the list and the buttons; shown only once there is something to tell.
    m_noticeLabel = place<QLabel>(this, du, IDC_NOTICE, "IDC_NOTICE", 7, 234, 481, 10);
    m_noticeLabel->setStyleSheet(QStringLiteral("color: #b00000;"));
    m_noticeLabel->hide();

    QWidget::setTabOrder(m_start, m_interval);
    QWidget::setTabOrder(m_interval, m_watchListView);
    QWidget::setTabOrder(m_watchListView, m_add);
    QWidget::setTabOrder(m_add, m_settings);
    QWidget::setTabOrder(m_settings, m_history);
    QWidget::setTabOrder(m_history, m_import);
    QWidget::setTabOrder(m_import, m_stopAlarm);
    QWidget::setTabOrder(m_stopAlarm, m_filterStock);
    QWidget::setTabOrder(m_filterStock, m_clearData);

    for (QPushButton* button :
         {m_start, m_add, m_settings, m_history, m_import, m_stopAlarm, m_clearData}) {
        // Enter must never press a button: it does nothing in this window.
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    connect(m_import, &QPushButton::clicked, this, [this] { OnImport(); });
    connect(m_add, &QPushButton::clicked, this, [this] { OnAdd(); });
    connect(m_history, &QPushButton::clicked, this, [this] { OnHistory(); });
    connect(m_settings, &QPushButton::clicked, this, [this] { OnSettings(); });
    connect(m_start, &QPushButton::clicked, this, [this] { OnStartStop(); });
    connect(m_watchListView, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { OnWatchListDblClk(index.row()); });
    connect(m_stopAlarm, &QPushButton::clicked, this, [this] { OnStopAlarm(); });
    connect(m_clearData, &QPushButton::clicked, this, [this] { OnClearData(); });
    m_watchListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_watchListView, &QTableView::customContextMenuRequested, this,
            [this](const QPoint& pos) {
                QMenu* menu = rowMenu(m_watchListView->indexAt(pos).row());
                if (menu) {
                    menu->setAttribute(Qt::WA_DeleteOnClose);
                    menu->popup(m_watchListView->viewport()->mapToGlobal(pos));
                }
            });

    installEventFilter(this);
    for (QWidget* child : findChildren<QWidget*>()) {
        child->installEventFilter(this);
    }
}


QMenu* CWatchDlg::rowMenu(int row)
{
    const WatchEntry* watch = m_list ? m_list->at(row) : nullptr;
    if (!watch) {
        return nullptr;
    }
    const QString url = qs(watch->url);
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("IDM_WATCH_ROW"));
    connect(menu->addAction(QStringLiteral("在浏览器中打开搜索页")), &QAction::triggered, this,
            [this, row] { Q_EMIT searchPageRequested(row); });
    connect(menu->addAction(QStringLiteral("查看宝贝列表")), &QAction::triggered, this,
            [this, row] { OnWatchListDblClk(row); });
    connect(menu->addAction(QStringLiteral("全部标记为已见")), &QAction::triggered, this,
            [this, row] { OnMarkAllSeen(row); });
    connect(menu->addAction(QStringLiteral("复制网址")), &QAction::triggered, this,
            [url] { QGuiApplication::clipboard()->setText(url); });
    menu->addSeparator();
    const auto request = [this, menu](const QString& text, auto signal, auto... args) {
        QAction* action = menu->addAction(text);
        connect(action, &QAction::triggered, this, [this, signal, args...] {
            if (!m_closing) {
                Q_EMIT(this->*signal)(args...);
            }
        });
        return action;
    };
    const bool paused = watch->options.paused.value_or(false);
    const bool muted = watch->options.muted.value_or(false);
    request(QStringLiteral("编辑…"), &CWatchDlg::editRequested, row);
    request(paused ? QStringLiteral("继续") : QStringLiteral("暂停"), &CWatchDlg::pauseRequested,
            row, !paused);
    request(muted ? QStringLiteral("取消静音") : QStringLiteral("静音"),
            &CWatchDlg::muteRequested, row, !muted);
    request(QStringLiteral("上移"), &CWatchDlg::moveRequested, row, row - 1)->setEnabled(row > 0);
    request(QStringLiteral("下移"), &CWatchDlg::moveRequested, row, row + 1)
        ->setEnabled(row + 1 < m_list->count());
    menu->addSeparator();
    request(QStringLiteral("删除"), &CWatchDlg::deleteRequested, row);
    return menu;
}

} // namespace tw
