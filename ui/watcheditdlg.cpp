#include "ui/watcheditdlg.h"

#include "core/runsettings.h"
#include "engine/resultpages.h"
#include "engine/trialcheck.h"
#include "engine/watchhealth.h"
#include "ui/dialogparts.h"
#include "ui/qtconvert.h"

#include <charconv>

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

namespace tw {

namespace {

std::string trimmedText(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

// A whole number of at least min, nullopt for an empty field; false in ok
// for anything else.
std::optional<int> numberField(const QLineEdit* edit, int min, int max, bool& ok)
{
    const std::string text = trimmedText(edit);
    ok = true;
    if (text.empty()) {
        return std::nullopt;
    }
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    ok = ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
    return value;
}

QString numberText(const std::optional<int>& n)
{
    return n ? QString::number(*n) : QString();
}

QLineEdit* lineEdit(QWidget* parent, const char* name, const QString& text,
                    const QString& placeholder)
{
    auto* edit = new QLineEdit(text, parent);
    edit->setObjectName(QLatin1String(name));
    edit->setPlaceholderText(placeholder);
    return edit;
}

} // namespace

CWatchEditDlg::CWatchEditDlg(Mode mode, const std::string& url, const WatchOptions& options,
                             Hooks hooks, QWidget* parent)
    : QDialog(parent), m_mode(mode), m_url(url), m_options(options), m_hooks(std::move(hooks))
{
    setObjectName(mode == Mode::Add ? QStringLiteral("IDD_ADD_WATCH")
                                    : QStringLiteral("IDD_EDIT_WATCH"));
    setWindowTitle(mode == Mode::Add ? QStringLiteral("添加监控") : QStringLiteral("编辑监控"));
    if (mode == Mode::Add) {
        buildAdd();
    } else {
        buildEdit();
    }
}

CWatchEditDlg::~CWatchEditDlg()
{
    if (m_trialRunning && m_hooks.cancelTrial) {
        m_hooks.cancelTrial();
    }
}

void CWatchEditDlg::buildAdd()
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("搜索结果页的网址："), this));
    m_urlEdit = lineEdit(this, "IDC_WATCH_URL", qs(m_url), QStringLiteral("https://…&q=…"));
    m_urlEdit->setMinimumWidth(520);
    layout->addWidget(m_urlEdit);
    m_onlyLater = new QCheckBox(QStringLiteral("只提醒以后上架的"), this);
    m_onlyLater->setObjectName(QStringLiteral("IDC_ONLY_LATER"));
    m_onlyLater->setChecked(true);
    layout->addWidget(m_onlyLater);
    m_problem = problemLabel(this, "IDC_WATCH_PROBLEM");
    layout->addWidget(m_problem);
    layout->addWidget(okCancelButtons(this));
}

void CWatchEditDlg::buildEdit()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    const WatchOptions& o = m_options;
    m_urlEdit = lineEdit(this, "IDC_WATCH_URL", qs(m_url), {});
    m_urlEdit->setMinimumWidth(520);
    form->addRow(QStringLiteral("网址："), m_urlEdit);
    m_onlyLater = new QCheckBox(QStringLiteral("只提醒以后上架的"), this);
    m_onlyLater->setObjectName(QStringLiteral("IDC_ONLY_LATER"));
    m_onlyLater->setChecked(true);
    m_onlyLater->setVisible(false);
    form->addRow(QString(), m_onlyLater);
    m_name = lineEdit(this, "IDC_WATCH_NAME", qs(o.name.value_or("")),
                      QStringLiteral("留空则显示搜索词"));
    form->addRow(QStringLiteral("名称："), m_name);
    m_must = lineEdit(this, "IDC_WATCH_MUST", qs(o.must.value_or("")),
                      QStringLiteral("标题须包含全部这些词，用“,”分隔"));
    form->addRow(QStringLiteral("必须包含的词："), m_must);
    m_ignore = lineEdit(this, "IDC_WATCH_IGNORE", qs(o.ignore.value_or("")),
                        QStringLiteral("在全局忽略词之外，用“,”分隔"));
    form->addRow(QStringLiteral("另外忽略的词："), m_ignore);
    m_interval = lineEdit(this, "IDC_WATCH_INTERVAL", numberText(o.interval),
                          QStringLiteral("留空则用全局检测间隔"));
    form->addRow(QStringLiteral("检测间隔（秒）："), m_interval);
    m_hours = lineEdit(this, "IDC_WATCH_HOURS",
                       o.hours ? qs(watchoptions::hoursText(*o.hours)) : QString(),
                       QStringLiteral("例如 08:00-23:30，留空表示全天"));
    form->addRow(QStringLiteral("检测时段："), m_hours);
    m_openLimit = lineEdit(this, "IDC_WATCH_OPENLIMIT", numberText(o.openLimit),
                           QStringLiteral("留空则用全局设置"));
    form->addRow(QStringLiteral("最多打开网页数："), m_openLimit);
    m_paused = new QCheckBox(QStringLiteral("暂停（不发出任何请求）"), this);
    m_paused->setObjectName(QStringLiteral("IDC_WATCH_PAUSED"));
    m_paused->setChecked(o.paused.value_or(false));
    form->addRow(QString(), m_paused);
    m_muted = new QCheckBox(QStringLiteral("静音（照常检测记录，但不提醒）"), this);
    m_muted->setObjectName(QStringLiteral("IDC_WATCH_MUTED"));
    m_muted->setChecked(o.muted.value_or(false));
    form->addRow(QString(), m_muted);
    layout->addLayout(form);
    connect(m_urlEdit, &QLineEdit::textChanged, this, [this] { urlEdited(); });

    m_problem = problemLabel(this, "IDC_WATCH_PROBLEM");
    layout->addWidget(m_problem);

    if (m_hooks.startTrial) {
        auto* trialRow = new QHBoxLayout;
        m_try = new QPushButton(QStringLiteral("试一下"), this);
        m_try->setObjectName(QStringLiteral("IDC_WATCH_TRY"));
        m_try->setAutoDefault(false);
        connect(m_try, &QPushButton::clicked, this, [this] {
            if (m_trialRunning) {
                if (m_hooks.cancelTrial) {
                    m_hooks.cancelTrial();
                }
            } else {
                tryNow();
            }
        });
        trialRow->addWidget(m_try);
        m_pages = new QLabel(this);
        m_pages->setObjectName(QStringLiteral("IDC_WATCH_PAGES"));
        m_pages->setWordWrap(true);
        m_pages->setTextInteractionFlags(Qt::TextSelectableByMouse);
        trialRow->addWidget(m_pages, 1);
        layout->addLayout(trialRow);
        m_items = new QTableWidget(0, 3, this);
        m_items->setObjectName(QStringLiteral("IDC_WATCH_TRIAL_ITEMS"));
        m_items->setHorizontalHeaderLabels(
            {QStringLiteral("结论"), QStringLiteral("标题"), QStringLiteral("编号")});
        m_items->verticalHeader()->hide();
        m_items->setEditTriggers(QAbstractItemView::NoEditTriggers);
        m_items->setSelectionBehavior(QAbstractItemView::SelectRows);
        m_items->horizontalHeader()->setStretchLastSection(true);
        m_items->setColumnWidth(0, 170);
        m_items->setColumnWidth(1, 300);
        m_items->setMinimumHeight(200);
        layout->addWidget(m_items, 1);
    }

    QDialogButtonBox* buttons = okCancelButtons(this);
    // Enter in a field must not close the dialog.
    buttons->button(QDialogButtonBox::Ok)->setAutoDefault(false);
    layout->addWidget(buttons);
}

void CWatchEditDlg::urlEdited()
{
    // Another URL is another search key: its first check may be a quiet one.
    m_onlyLater->setVisible(urlChanged());
}

std::string CWatchEditDlg::url() const
{
    return trimmedText(m_urlEdit);
}

WatchOptions CWatchEditDlg::options() const
{
    WatchOptions o = m_options;
    if (m_mode == Mode::Add || urlChanged()) {
        o.baseline = m_onlyLater->isChecked();
    }
    if (m_mode == Mode::Add) {
        return o;
    }
    const auto textOrNone = [](std::string text) {
        return text.empty() ? std::nullopt : std::optional<std::string>(std::move(text));
    };
    o.name = textOrNone(trimmedText(m_name));
    o.must = textOrNone(watchoptions::words(trimmedText(m_must)));
    o.ignore = textOrNone(watchoptions::words(trimmedText(m_ignore)));
    bool ok = true;
    o.interval = numberField(m_interval, 1, kMaxInterval, ok);
    o.openLimit = numberField(m_openLimit, 0, 1000000, ok);
    const std::string hours = trimmedText(m_hours);
    o.hours = hours.empty() ? std::nullopt : watchoptions::parseHours(hours);
    // An unticked box leaves a value written by hand as it was.
    const auto flag = [](bool on, const std::optional<bool>& was) {
        return on ? std::optional<bool>(true) : (was == false ? was : std::nullopt);
    };
    o.paused = flag(m_paused->isChecked(), m_options.paused);
    o.muted = flag(m_muted->isChecked(), m_options.muted);
    return o;
}

std::string CWatchEditDlg::problem() const
{
    if (std::string refused = m_hooks.refusal ? m_hooks.refusal(url()) : std::string();
        !refused.empty()) {
        return refused;
    }
    if (m_mode == Mode::Add) {
        return {};
    }
    bool ok = true;
    numberField(m_interval, 1, kMaxInterval, ok);
    if (!ok) {
        return "检测间隔须为 1 到 " + std::to_string(kMaxInterval) +
               " 的整数秒，留空则用全局检测间隔";
    }
    numberField(m_openLimit, 0, 1000000, ok);
    if (!ok) {
        return "最多打开网页数须为 0 或正整数，留空则用全局设置";
    }
    if (const std::string hours = trimmedText(m_hours);
        !hours.empty() && !watchoptions::parseHours(hours)) {
        return "检测时段须写成 08:00-23:30 的样子（可跨午夜），留空表示全天";
    }
    return {};
}

void CWatchEditDlg::showProblem(const std::string& text)
{
    m_problem->setText(qs(text));
    m_problem->setVisible(!text.empty());
}

void CWatchEditDlg::accept()
{
    const std::string why = problem();
    showProblem(why);
    if (!why.empty()) {
        return;
    }
    if (m_trialRunning && m_hooks.cancelTrial) {
        m_hooks.cancelTrial();
    }
    QDialog::accept();
}

void CWatchEditDlg::reject()
{
    if (m_trialRunning && m_hooks.cancelTrial) {
        m_hooks.cancelTrial();
    }
    QDialog::reject();
}

void CWatchEditDlg::tryNow()
{
    const std::string why = problem();
    showProblem(why);
    if (!why.empty()) {
        return;
    }
    m_trialRunning = true;
    m_try->setText(QStringLiteral("取消"));
    m_pages->setText(QStringLiteral("检测中…"));
    m_items->setRowCount(0);
    m_hooks.startTrial(url(), options());
}

void CWatchEditDlg::endTrial()
{
    m_trialRunning = false;
    if (m_try) {
        m_try->setText(QStringLiteral("试一下"));
    }
}

void CWatchEditDlg::showTrial(const TrialResult& result)
{
    endTrial();
    if (!m_pages) {
        return;
    }
    if (result.restingUntil) {
        m_pages->setText(QStringLiteral("此搜索被要求放慢，暂停至 %1，未发出请求")
                             .arg(qs(clockText(*result.restingUntil, false))));
        return;
    }
    QStringList lines;
    lines << QStringLiteral("请求了 %1 页").arg(result.pages.size());
    for (const TrialPage& page : result.pages) {
        QString line = QStringLiteral("第 %1 页：").arg(page.offset / kPageSize + 1);
        line += page.status > 0 ? QStringLiteral("HTTP %1，").arg(page.status) : QString();
        line +=
            page.error.empty()
                ? QStringLiteral("%1 个宝贝，%2 秒")
                      .arg(page.items)
                      .arg(QString::number(static_cast<double>(page.time.count()) / 1000.0, 'f', 1))
                : qs(page.error);
        lines << line;
    }
    if (result.invalidIds > 0) {
        lines << QStringLiteral("另有 %1 个宝贝的编号无法使用，检测时会被丢弃")
                     .arg(result.invalidIds);
    }
    if (result.cancelled) {
        lines << QStringLiteral("已取消");
    } else if (result.failed && !result.error.empty() &&
               (result.pages.empty() || result.pages.back().error.empty())) {
        lines << qs(result.error);
    }
    m_pages->setText(lines.join(QLatin1Char('\n')));
    m_items->setRowCount(static_cast<int>(result.items.size()));
    int row = 0;
    for (const TrialItem& item : result.items) {
        m_items->setItem(row, 0, new QTableWidgetItem(qs(verdictText(item))));
        m_items->setItem(row, 1, new QTableWidgetItem(qs(item.title)));
        m_items->setItem(row, 2, new QTableWidgetItem(qs(item.id)));
        ++row;
    }
}

} // namespace tw
