#pragma once

#include "store/findrecord.h"

#include <optional>
#include <string>
#include <vector>

#include <QDate>
#include <QWidget>

namespace tw {

// What the watches found on each local day of the days up to today, oldest
// first: the finds of kind new and dedupe, those of sid alone when it is set.
// Baseline and marked finds are left out, as they tell of the user, not of a
// watch that lives.
std::vector<int> findsPerDay(const std::vector<FindRecord>& finds, const QDate& today, int days,
                             const std::optional<std::string>& sid = std::nullopt);

// A bar per day, the last day at the right, the highest count written above
// its bar; a bar's tooltip tells its date and count.
class FindChart : public QWidget
{
    Q_OBJECT

public:
    explicit FindChart(QWidget* parent = nullptr);

    // perDay as findsPerDay gives it, ending on lastDay.
    void setCounts(std::vector<int> perDay, const QDate& lastDay);
    const std::vector<int>& counts() const { return m_counts; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    bool event(QEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    QRectF plotArea() const;
    // The day under x in the plot, or -1.
    int dayAt(qreal x) const;

    std::vector<int> m_counts;
    QDate m_lastDay;
};

} // namespace tw
