#pragma once

#include "core/runsettings.h"

#include <string>
#include <vector>

#include <QDialog>
#include <QStringList>

class QLabel;
class QTabWidget;
class QWidget;

namespace tw {

class CCore;
struct SettingDef;

// "设置…": every key of tidewatch.ini on the page of its group, each with its
// default, a "恢复默认" button and the README's meaning as its help, all made
// from kSettings. "确定" checks every field and writes the changed keys into
// the file through the core, which keeps the lines written by hand; the owner
// then reads the file again.
class CSettingsDlg : public QDialog
{
    Q_OBJECT

public:
    // shown: the values the fields start from. followNextRun: keys read only
    // at program start that the owner still applies from the next "开始" on
    // (those the main window holds).
    CSettingsDlg(CCore& core, const RunSettings& shown, const QStringList& followNextRun,
                 QWidget* parent = nullptr);
    ~CSettingsDlg() override;

    // The keys written, also when a later one failed.
    const QStringList& writtenKeys() const { return m_written; }

public Q_SLOTS:
    void accept() override;

private:
    struct Field
    {
        const SettingDef* def = nullptr;
        QWidget* editor = nullptr;
        std::string initial;
    };

    QWidget* makeEditor(const SettingDef& def, const std::string& value);
    QString helpText(const SettingDef& def, bool followsNextRun) const;
    static std::string valueOf(const Field& field);
    static void setValue(const Field& field, const std::string& value);
    // The reason the field's text cannot be saved; "" when it can.
    static std::string problemOf(const Field& field);
    void showProblem(const QString& text);

    CCore& m_core;
    std::vector<Field> m_fields;
    QTabWidget* m_tabs = nullptr;
    QLabel* m_help = nullptr;
    QLabel* m_problem = nullptr;
    QStringList m_written;
};

} // namespace tw
