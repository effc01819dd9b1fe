#include "ui/itemlistdlg.h"

#include "core/runsettings.h"
#include "core/text.h"
#include "core/zuvira.h"
#include "store/itemdb.h"
#include "ui/dialogunits.h"
#include "ui/qtconvert.h"

#include <QDateTime>
#include <QFontMetrics>
#include <QHeaderView>
#include <QTableWidget>

namespace tw {

CItemListDlg::CItemListDlg(CCore& core, CItemDb& itemDb, const RunSettings& settings,
                           QWidget* parent)
    : QDialog(parent), m_core(core), m_itemDb(itemDb), m_settings(settings)
{
    setObjectName(QStringLiteral("IDD_ITEM_LIST"));
    setProperty("controlId", IDD);
    setWindowTitle(QStringLiteral("宝贝列表"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(DialogUnits::templateFont());
    const DialogUnits du(font());
    setFixedSize(du.x(363), du.y(235));

    m_itemListView = new QTableWidget(this);
    m_itemListView->setObjectName(QStringLiteral("IDC_ITEM_LIST"));
    m_itemListView->setProperty("controlId", IDC_ITEM_LIST);
    m_itemListView->setGeometry(du.rect(7, 7, 349, 221));
    m_itemListView->setSelectionMode(QAbstractItemView::SingleSelection);
    m_itemListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_itemListView->verticalHeader()->hide();
    // Rows as compact as a report list's, not the item view's roomy default.
    m_itemListView->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    m_itemListView->setWordWrap(false);

    connect(m_itemListView, &QTableWidget::doubleClicked, this,
            [this](const QModelIndex& index) { OnItemListDblClk(index.row()); });
}

CItemListDlg::~CItemListDlg() = default;

bool CItemListDlg::OnInitDialog()
{
    m_itemListView->setShowGrid(true);
    m_itemListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_itemListView->setColumnCount(3);
    m_itemListView->setHorizontalHeaderLabels(
        {QStringLiteral("Item id"), QStringLiteral("标题"), QStringLiteral("发现时间")});
    m_itemListView->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_itemListView->setColumnWidth(0, 120);
    m_itemListView->setColumnWidth(1, 260);
    m_itemListView->setColumnWidth(2, 140);

    std::vector<ListedItem> rows;
    try {
        rows = m_itemDb.listItems(sid, m_settings.maxitemshow);
    } catch (const DbError& e) {
        rows.clear();
        m_core.msgboxWarning(this, std::string("无法读取宝贝列表：") + e.what());
    }

    m_itemListView->setRowCount(static_cast<int>(rows.size()));
    for (int k = 0; k < static_cast<int>(rows.size()); ++k) {
        const ListedItem& row = rows[k];
        m_itemListView->setItem(k, 0, new QTableWidgetItem(qs(row.bbid)));
        m_itemListView->setItem(k, 1, new QTableWidgetItem(qs(row.bbtitle)));
        // Empty for an item stored before finds were recorded.
        const QString found =
            row.firstFound
                ? QDateTime::fromSecsSinceEpoch(row.firstFound->time_since_epoch().count())
                      .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                : QString();
        m_itemListView->setItem(k, 2, new QTableWidgetItem(found));
    }
    setWindowTitle(QStringLiteral("共 %1 个宝贝").arg(rows.size()));
    m_itemListView->setFocus();
    return true;
}

void CItemListDlg::OnItemListDblClk(int row)
{
    if (row < 0 || row >= m_itemListView->rowCount()) {
        return;
    }
    const QTableWidgetItem* item = m_itemListView->item(row, 0);
    const std::string id = item ? item->text().toStdString() : std::string();
    // The id goes into the query value only, encoded, so it cannot change
    // the host or the path; the browser is started without a shell.
    m_core.openUrl("http://" + m_settings.mallHost + "/item.htm?id=" + text::percentEncode(id));
}

} // namespace tw
