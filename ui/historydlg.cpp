#include "ui/historydlg.h"

#include "core/runsettings.h"
#include "core/text.h"
#include "core/watchlist.h"
#include "core/zuvira.h"
#include "store/findcsv.h"
#include "store/itemdb.h"
#include "ui/dialogunits.h"
#include "ui/findchart.h"
#include "ui/qtconvert.h"

#include <functional>
#include <optional>
#include <unordered_map>

#include <QAbstractTableModel>
#include <QComboBox>
#include <QDateTime>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QTableView>
#include <QVBoxLayout>

namespace tw {

namespace {

// How the window names a watch without a name: its search words, decoded.
std::string watchWords(const std::string& sid)
{
    return text::readableQuery(sid);
}

} // namespace

// The finds read once, and the rows the filters let through. The texts a
// filter compares are folded once as the finds arrive, so that a key press
// over 100 000 finds costs one pass of plain comparisons; a cell's text is
// made only when it is shown.
class FindTableModel : public QAbstractTableModel
{
public:
    enum Column { FoundColumn, WatchColumn, IdColumn, TitleColumn, KindColumn, ColumnCount };

    using QAbstractTableModel::QAbstractTableModel;

    void setFinds(std::vector<FindRecord> finds,
                  const std::function<std::string(const FindRecord&)>& nameOf)
    {
        beginResetModel();
        m_finds = std::move(finds);
        m_watchOf.clear();
        m_folded.clear();
        m_watchNames.clear();
        m_watchSids.clear();
        m_watchIndex.clear();
        m_watchOf.reserve(m_finds.size());
        m_folded.reserve(m_finds.size());
        // The finds of one key fall in a group per name they show under.
        std::unordered_map<std::string, std::string> nameOfUrl;
        for (const FindRecord& f : m_finds) {
            auto named = nameOfUrl.find(f.url);
            if (named == nameOfUrl.end()) {
                named = nameOfUrl.emplace(f.url, nameOf(f)).first;
            }
            auto [it, added] = m_watchIndex.try_emplace(f.sid + '\0' + named->second,
                                                        static_cast<int>(m_watchNames.size()));
            if (added) {
                m_watchNames.push_back(qs(named->second));
                m_watchSids.push_back(f.sid);
            }
            m_watchOf.push_back(it->second);
            m_folded.push_back(
                QString(qs(f.title) + QLatin1Char('\n') + qs(f.bbid)).toCaseFolded());
        }
        m_shown.resize(m_finds.size());
        for (std::size_t i = 0; i < m_shown.size(); ++i) {
            m_shown[i] = i;
        }
        endResetModel();
    }

    // sid: the one watch key shown, or every key; text: part of a title, id
    // or watch's words, any case, or "" for every find.
    void setFilter(const std::optional<std::string>& sid, const QString& text)
    {
        const QString needle = text.trimmed().toCaseFolded();
        std::vector<char> watchIn(m_watchNames.size());
        std::vector<char> watchMatches(m_watchNames.size());
        for (std::size_t w = 0; w < m_watchNames.size(); ++w) {
            watchIn[w] = !sid || m_watchSids[w] == *sid;
            watchMatches[w] = m_watchNames[w].toCaseFolded().contains(needle);
        }
        beginResetModel();
        m_shown.clear();
        for (std::size_t i = 0; i < m_finds.size(); ++i) {
            const auto watch = static_cast<std::size_t>(m_watchOf[i]);
            if (watchIn[watch] && (watchMatches[watch] || m_folded[i].contains(needle))) {
                m_shown.push_back(i);
            }
        }
        endResetModel();
    }

    const std::vector<FindRecord>& all() const { return m_finds; }
    const FindRecord& shownAt(int row) const
    {
        return m_finds[m_shown[static_cast<std::size_t>(row)]];
    }

    std::vector<FindRecord> shown() const
    {
        std::vector<FindRecord> records;
        records.reserve(m_shown.size());
        for (const std::size_t i : m_shown) {
            records.push_back(m_finds[i]);
        }
        return records;
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : static_cast<int>(m_shown.size());
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : ColumnCount;
    }

    QVariant data(const QModelIndex& index, int role) const override
    {
        if (!index.isValid() || index.row() >= rowCount()) {
            return {};
        }
        const std::size_t i = m_shown[static_cast<std::size_t>(index.row())];
        const FindRecord& f = m_finds[i];
        if (role == Qt::ToolTipRole) {
            if (index.column() == WatchColumn) {
                return qs(text::readableUrl(f.url));
            }
            return index.column() == TitleColumn ? qs(f.title) : QVariant();
        }
        if (role != Qt::DisplayRole) {
            return {};
        }
        switch (index.column()) {
        case FoundColumn:
            // Empty for an item taken before finds were recorded.
            return f.found ? QDateTime::fromSecsSinceEpoch(f.found->time_since_epoch().count())
                                 .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))
                           : QString();
        case WatchColumn:
            return m_watchNames[static_cast<std::size_t>(m_watchOf[i])];
        case IdColumn:
            return qs(f.bbid);
        case TitleColumn:
            return qs(f.title);
        case KindColumn:
            return qs(f.kind);
        default:
            return {};
        }
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
            return {};
        }
        switch (section) {
        case FoundColumn:
            return QStringLiteral("发现时间");
        case WatchColumn:
            return QStringLiteral("监控");
        case IdColumn:
            return QStringLiteral("Item id");
        case TitleColumn:
            return QStringLiteral("标题");
        case KindColumn:
            return QStringLiteral("类型");
        default:
            return {};
        }
    }

private:
    std::vector<FindRecord> m_finds;
    // Per find: its watch (an index into m_watchNames) and its folded title and id.
    std::vector<int> m_watchOf;
    std::vector<QString> m_folded;
    std::vector<QString> m_watchNames;
    std::vector<std::string> m_watchSids;
    std::unordered_map<std::string, int> m_watchIndex;
    std::vector<std::size_t> m_shown;
};

CHistoryDlg::CHistoryDlg(CCore& core, CItemDb& db, const RunSettings& settings,
                         std::vector<HistoryWatch> watches, QWidget* parent)
    : QDialog(parent), m_core(core), m_db(db), m_settings(settings), m_watches(std::move(watches)),
      m_model(new FindTableModel(this))
{
    for (const HistoryWatch& w : m_watches) {
        if (!w.name.empty()) {
            m_names.try_emplace(watchlist::searchIdentity(w.url), w.name);
        }
    }
    setObjectName(QStringLiteral("IDD_HISTORY"));
    setWindowTitle(QStringLiteral("发现记录"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setFont(DialogUnits::templateFont());
    const DialogUnits du(font());
    resize(du.x(480), du.y(300));

    m_watchFilter = new QComboBox(this);
    m_watchFilter->setObjectName(QStringLiteral("IDC_WATCH_FILTER"));
    m_watchFilter->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    m_watchFilter->setMaximumWidth(du.x(160));
    m_textFilter = new QLineEdit(this);
    m_textFilter->setObjectName(QStringLiteral("IDC_TEXT_FILTER"));
    m_textFilter->setPlaceholderText(QStringLiteral("搜索标题、Item id 或监控"));
    m_textFilter->setClearButtonEnabled(true);
    auto* exportButton = new QPushButton(QStringLiteral("导出 CSV"), this);
    exportButton->setObjectName(QStringLiteral("IDC_EXPORT"));
    exportButton->setAutoDefault(false);

    m_chart = new FindChart(this);
    m_chart->setObjectName(QStringLiteral("IDC_FIND_CHART"));

    m_findList = new QTableView(this);
    m_findList->setObjectName(QStringLiteral("IDC_FIND_LIST"));
    m_findList->setModel(m_model);
    m_findList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_findList->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_findList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_findList->setWordWrap(false);
    m_findList->verticalHeader()->hide();
    // Fixed, compact rows: the view then never measures 100 000 of them.
    m_findList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_findList->verticalHeader()->setDefaultSectionSize(QFontMetrics(font()).height() + 6);
    QHeaderView* header = m_findList->horizontalHeader();
    header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_findList->setColumnWidth(FindTableModel::FoundColumn, 140);
    m_findList->setColumnWidth(FindTableModel::WatchColumn, 140);
    m_findList->setColumnWidth(FindTableModel::IdColumn, 110);
    m_findList->setColumnWidth(FindTableModel::KindColumn, 80);
    // The title takes what the window has left, so the kind stays in view.
    header->setSectionResizeMode(FindTableModel::TitleColumn, QHeaderView::Stretch);

    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("IDC_FIND_STATUS"));

    auto* filters = new QHBoxLayout;
    filters->addWidget(m_watchFilter);
    filters->addWidget(m_textFilter, 1);
    filters->addWidget(exportButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_chart);
    layout->addLayout(filters);
    layout->addWidget(m_findList, 1);
    layout->addWidget(m_status);

    connect(m_watchFilter, &QComboBox::currentIndexChanged, this, [this] { applyFilter(); });
    connect(m_textFilter, &QLineEdit::textChanged, this, [this] { applyFilter(); });
    connect(exportButton, &QPushButton::clicked, this, [this] { OnExport(); });
    connect(m_findList, &QTableView::doubleClicked, this,
            [this](const QModelIndex& index) { OnFindListDblClk(index.row()); });
}

CHistoryDlg::~CHistoryDlg() = default;

void CHistoryDlg::OnInitDialog()
{
    if (!m_today.isValid()) {
        m_today = QDate::currentDate();
    }
    std::vector<FindRecord> finds;
    try {
        finds = m_db.finds();
    } catch (const DbError& e) {
        finds.clear();
        m_core.msgboxWarning(this, std::string("无法读取发现记录：") + e.what());
    }
    m_model->setFinds(std::move(finds), [this](const FindRecord& f) { return watchName(f); });

    const QSignalBlocker blocker(m_watchFilter);
    m_watchFilter->clear();
    m_watchFilter->addItem(QStringLiteral("全部监控"));
    for (const HistoryWatch& w : m_watches) {
        // Watches with one key share their items, and so their finds.
        const QByteArray key = QByteArray::fromStdString(w.sid);
        if (m_watchFilter->findData(key) >= 0) {
            continue;
        }
        const std::string words = w.name.empty() ? watchWords(w.sid) : w.name;
        m_watchFilter->addItem(qs(words.empty() ? text::readableUrl(w.url) : words), key);
    }
    m_watchFilter->setCurrentIndex(0);
    applyFilter();
    m_textFilter->setFocus();
}

std::string CHistoryDlg::watchName(const FindRecord& find) const
{
    const auto named = m_names.find(watchlist::searchIdentity(find.url));
    return named != m_names.end() ? named->second : watchWords(find.sid);
}

void CHistoryDlg::applyFilter()
{
    std::optional<std::string> sid;
    if (m_watchFilter->currentIndex() > 0) {
        sid = m_watchFilter->currentData().toByteArray().toStdString();
    }
    m_model->setFilter(sid, m_textFilter->text());
    m_chart->setCounts(findsPerDay(m_model->all(), m_today, kChartDays, sid), m_today);
    m_status->setText(
        QStringLiteral("显示 %1 条，共 %2 条").arg(m_model->rowCount()).arg(m_model->all().size()));
}

void CHistoryDlg::OnFindListDblClk(int row)
{
    if (row < 0 || row >= m_model->rowCount()) {
        return;
    }
    // The id goes into the query value only, encoded, as in the item list.
    m_core.openUrl("http://" + m_settings.mallHost +
                   "/item.htm?id=" + text::percentEncode(m_model->shownAt(row).bbid));
}

void CHistoryDlg::OnExport()
{
    const std::string path = m_core.fileSave(
        this, "finds-" + m_today.toString(QStringLiteral("yyyyMMdd")).toStdString() + ".csv");
    if (path.empty()) {
        return;
    }
    // What the filters show, as the user picked it out, not the whole record.
    const std::vector<FindRecord> shown = m_model->shown();
    const std::string csv = findsCsv(shown, [this](const FindRecord& f) { return watchName(f); });
    // Written beside and renamed over: a failure leaves an older file whole.
    QSaveFile file(qs(path));
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(csv.data(), static_cast<qint64>(csv.size())) !=
            static_cast<qint64>(csv.size()) ||
        !file.commit()) {
        m_core.msgboxWarning(this,
                             "无法导出 CSV：" + path + "：" + file.errorString().toStdString());
        return;
    }
    m_status->setText(QStringLiteral("已导出 %1 条到 %2").arg(shown.size()).arg(qs(path)));
}

} // namespace tw
