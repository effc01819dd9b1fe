#pragma once

#include "core/watchoptions.h"

#include <functional>
#include <optional>
#include <string>

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableWidget;

namespace tw {

struct TrialResult;

// One watch, added ("添加") or edited ("编辑…"): its URL and, when edited, its
// options. A URL that changes is another search, so the box "只提醒以后上架的"
// (on by default) is offered for it as for a new watch. "确定" keeps the
// dialog open with the reason while a field cannot be taken. "试一下" asks
// the owner to check the watch as the fields stand, without storing anything,
// and lists what it found with a verdict for each item.
class CWatchEditDlg : public QDialog
{
    Q_OBJECT

public:
    enum class Mode { Add, Edit };

    struct Hooks
    {
        // Why the URL cannot be taken; "" when it can.
        std::function<std::string(const std::string& url)> refusal;
        // Starts the trial of the watch as given; its end comes to showTrial.
        // Empty: no "试一下".
        std::function<void(const std::string& url, const WatchOptions& options)> startTrial;
        std::function<void()> cancelTrial;
    };

    CWatchEditDlg(Mode mode, const std::string& url, const WatchOptions& options, Hooks hooks,
                  QWidget* parent = nullptr);
    ~CWatchEditDlg() override;

    // What the fields hold, valid once problem() is "".
    std::string url() const;
    WatchOptions options() const;
    bool urlChanged() const { return url() != m_url; }
    // Why the fields cannot be taken; "" when they can.
    std::string problem() const;

    void showTrial(const TrialResult& result);
    bool trialRunning() const { return m_trialRunning; }

public Q_SLOTS:
    void accept() override;
    void reject() override;

private:
    void buildAdd();
    void buildEdit();
    void tryNow();
    void endTrial();
    void showProblem(const std::string& text);
    void urlEdited();

    Mode m_mode;
    std::string m_url;
    WatchOptions m_options;
    Hooks m_hooks;
    bool m_trialRunning = false;

    QLineEdit* m_urlEdit = nullptr;
    QLineEdit* m_name = nullptr;
    QLineEdit* m_must = nullptr;
    QLineEdit* m_ignore = nullptr;
    QLineEdit* m_interval = nullptr;
    QLineEdit* m_hours = nullptr;
    QLineEdit* m_openLimit = nullptr;
    QCheckBox* m_paused = nullptr;
    QCheckBox* m_muted = nullptr;
    QCheckBox* m_onlyLater = nullptr;
    QLabel* m_problem = nullptr;
    QPushButton* m_try = nullptr;
    QLabel* m_pages = nullptr;
    QTableWidget* m_items = nullptr;
};

} // namespace tw
