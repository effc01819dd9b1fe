#include "ui/settingsdlg.h"

#include "core/settings.h"
#include "core/zuvira.h"
#include "ui/dialogparts.h"
#include "ui/qtconvert.h"

#include <initializer_list>

#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace tw {

namespace {

constexpr SettingGroup kGroups[] = {SettingGroup::Detection, SettingGroup::Alerts,
                                    SettingGroup::Network, SettingGroup::Desktop};

QString rangeText(SettingRange range)
{
    if (range.min == kIntMin && range.max == kIntMax) {
        return QStringLiteral("任意整数");
    }
    if (range.max == kIntMax) {
        return QStringLiteral("至少 %1").arg(range.min);
    }
    return QStringLiteral("%1 到 %2").arg(range.min).arg(range.max);
}

QString defaultText(const SettingDef& def)
{
    if (def.kind == SettingKind::Flag) {
        return def.defaultValue == "0" ? QStringLiteral("默认：关") : QStringLiteral("默认：开");
    }
    if (def.defaultValue.empty()) {
        return QStringLiteral("默认：（空）");
    }
    return QStringLiteral("默认：") + qs(std::string(def.defaultValue));
}

std::string currentValue(const SettingDef& def, const RunSettings& settings)
{
    return def.text ? settings.*def.text : std::to_string(settings.*def.number);
}

// The interval may hold what a run refuses (OutOfRange::Kept): it is edited as
// text, as in the main window, and checked by the same rule.
bool editedAsText(const SettingDef& def)
{
    return def.kind == SettingKind::Text ||
           (def.kind == SettingKind::Int && def.outOfRange == OutOfRange::Kept);
}

} // namespace

CSettingsDlg::CSettingsDlg(CCore& core, const RunSettings& shown, const QStringList& followNextRun,
                           QWidget* parent)
    : QDialog(parent), m_core(core)
{
    setObjectName(QStringLiteral("IDD_SETTINGS"));
    setWindowTitle(QStringLiteral("设置"));
    auto* layout = new QVBoxLayout(this);
    m_tabs = new QTabWidget(this);
    layout->addWidget(m_tabs);
    for (const SettingGroup group : kGroups) {
        auto* page = new QWidget(m_tabs);
        auto* grid = new QGridLayout(page);
        int row = 0;
        for (const SettingDef& def : kSettings) {
            if (def.group != group) {
                continue;
            }
            const QString key = qs(std::string(def.key));
            const QString help = helpText(def, followNextRun.contains(key));
            auto* name = new QLabel(key, page);
            QWidget* editor = makeEditor(def, currentValue(def, shown));
            editor->setParent(page);
            editor->setObjectName(key);
            name->setBuddy(editor);
            auto* byDefault = new QLabel(defaultText(def), page);
            byDefault->setObjectName(QStringLiteral("default_") + key);
            auto* restore = new QPushButton(QStringLiteral("恢复默认"), page);
            restore->setObjectName(QStringLiteral("restore_") + key);
            restore->setAutoDefault(false);
            for (QWidget* w : std::initializer_list<QWidget*>{name, editor, byDefault}) {
                w->setToolTip(help);
            }
            editor->setWhatsThis(help);
            grid->addWidget(name, row, 0);
            grid->addWidget(editor, row, 1);
            grid->addWidget(byDefault, row, 2);
            grid->addWidget(restore, row, 3);
            ++row;
            m_fields.push_back({&def, editor, currentValue(def, shown)});
            const Field field = m_fields.back();
            connect(restore, &QPushButton::clicked, this,
                    [field] { setValue(field, std::string(field.def->defaultValue)); });
        }
        grid->setRowStretch(row, 1);
        grid->setColumnStretch(1, 1);
        m_tabs->addTab(page, qs(std::string(groupName(group))));
    }

    // The focused field's meaning, for those who never hover.
    m_help = new QLabel(this);
    m_help->setObjectName(QStringLiteral("help"));
    m_help->setWordWrap(true);
    m_help->setMinimumHeight(fontMetrics().height() * 4);
    m_help->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(m_help);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
        for (const Field& field : m_fields) {
            if (now && (now == field.editor || field.editor->isAncestorOf(now))) {
                m_help->setText(field.editor->toolTip());
            }
        }
    });

    m_problem = problemLabel(this, "problem");
    layout->addWidget(m_problem);

    auto* buttons = okCancelButtons(this);
    layout->addWidget(buttons);
}

CSettingsDlg::~CSettingsDlg() = default;

QWidget* CSettingsDlg::makeEditor(const SettingDef& def, const std::string& value)
{
    QWidget* editor = nullptr;
    if (editedAsText(def)) {
        editor = new QLineEdit;
    } else if (def.kind == SettingKind::Flag) {
        editor = new QCheckBox;
    } else {
        auto* spin = new QSpinBox;
        spin->setRange(def.range.min, def.range.max);
        editor = spin;
    }
    setValue({&def, editor, {}}, value);
    return editor;
}

QString CSettingsDlg::helpText(const SettingDef& def, bool followsNextRun) const
{
    QString help = qs(std::string(def.meaning));
    if (def.kind == SettingKind::Int) {
        help += QStringLiteral("\n范围：") + rangeText(def.range);
    }
    // A run copies the settings at its start; keys read only at program start
    // wait for the next launch.
    help += def.read == SettingRead::AtEveryRun || followsNextRun
                ? QStringLiteral("\n开始下一次检测时生效")
                : QStringLiteral("\n重新启动后生效");
    return help;
}

std::string CSettingsDlg::valueOf(const Field& field)
{
    if (auto* edit = qobject_cast<QLineEdit*>(field.editor)) {
        return edit->text().toStdString();
    }
    if (auto* box = qobject_cast<QCheckBox*>(field.editor)) {
        return box->isChecked() ? "1" : "0";
    }
    return std::to_string(static_cast<QSpinBox*>(field.editor)->value());
}

void CSettingsDlg::setValue(const Field& field, const std::string& value)
{
    if (auto* edit = qobject_cast<QLineEdit*>(field.editor)) {
        edit->setText(qs(value));
    } else if (auto* box = qobject_cast<QCheckBox*>(field.editor)) {
        box->setChecked(value != "0");
    } else {
        // The field starts from the value a run uses, always inside the range.
        static_cast<QSpinBox*>(field.editor)->setValue(std::stoi(value));
    }
}

std::string CSettingsDlg::problemOf(const Field& field)
{
    if (field.def->kind == SettingKind::Int && editedAsText(*field.def)) {
        return parseInterval(valueOf(field)).error;
    }
    return {};
}

void CSettingsDlg::showProblem(const QString& text)
{
    m_problem->setText(text);
    m_problem->setVisible(!text.isEmpty());
}

void CSettingsDlg::accept()
{
    // Every field is checked before any is written: a refusal saves nothing.
    for (const Field& field : m_fields) {
        if (const std::string problem = problemOf(field); !problem.empty()) {
            m_tabs->setCurrentWidget(field.editor->parentWidget());
            field.editor->setFocus();
            showProblem(qs(std::string(field.def->key)) + QStringLiteral("：") + qs(problem));
            return;
        }
    }
    for (Field& field : m_fields) {
        const std::string value = valueOf(field);
        if (value == field.initial) {
            continue;
        }
        const std::string_view key = field.def->key;
        const Result<void> written =
            field.def->kind == SettingKind::Text ? m_core.saveConfigStr(key, value)
            : field.def->kind == SettingKind::Flag
                ? m_core.saveConfigB(key, value == "1")
                : m_core.saveConfigInt(key, editedAsText(*field.def) ? parseInterval(value).value
                                                                     : std::stoi(value));
        if (!written) {
            showProblem(QStringLiteral("设置 %1 未能保存：%2")
                            .arg(qs(std::string(key)), qs(written.error())));
            return;
        }
        m_written << qs(std::string(key));
        field.initial = value;
    }
    QDialog::accept();
}

} // namespace tw
