#include "ui/findchart.h"

#include <algorithm>

#include <QDateTime>
#include <QHelpEvent>
#include <QPainter>
#include <QToolTip>

namespace tw {

std::vector<int> findsPerDay(const std::vector<FindRecord>& finds, const QDate& today, int days,
                             const std::optional<std::string>& sid)
{
    std::vector<int> counts(static_cast<std::size_t>(std::max(days, 0)), 0);
    if (counts.empty() || !today.isValid()) {
        return counts;
    }
    // Each day from its local midnight, so that a day with a clock change
    // keeps its 23 or 25 hours; a search among them costs less than a
    // time-zone conversion per find.
    std::vector<qint64> starts;
    starts.reserve(counts.size() + 1);
    for (int i = 0; i <= days; ++i) {
        starts.push_back(QDateTime(today.addDays(i - days + 1), QTime(0, 0)).toSecsSinceEpoch());
    }
    for (const FindRecord& f : finds) {
        if (!f.found || (sid && f.sid != *sid) ||
            (f.kind != findKindName(FindKind::New) && f.kind != findKindName(FindKind::Dedupe))) {
            continue;
        }
        const qint64 t = f.found->time_since_epoch().count();
        if (t < starts.front() || t >= starts.back()) {
            continue;
        }
        const auto day = std::upper_bound(starts.begin(), starts.end(), t) - starts.begin() - 1;
        ++counts[static_cast<std::size_t>(day)];
    }
    return counts;
}

FindChart::FindChart(QWidget* parent) : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void FindChart::setCounts(std::vector<int> perDay, const QDate& lastDay)
{
    m_counts = std::move(perDay);
    m_lastDay = lastDay;
    update();
}

QSize FindChart::sizeHint() const
{
    return {400, fontMetrics().height() * 7};
}

QSize FindChart::minimumSizeHint() const
{
    return {120, fontMetrics().height() * 5};
}

QRectF FindChart::plotArea() const
{
    const int line = fontMetrics().height();
    // A line above for the highest count, a line below for the dates.
    return QRectF(rect()).adjusted(4, line + 2, -4, -(line + 2));
}

int FindChart::dayAt(qreal x) const
{
    const QRectF plot = plotArea();
    if (m_counts.empty() || x < plot.left() || x >= plot.right()) {
        return -1;
    }
    const int n = static_cast<int>(m_counts.size());
    return std::clamp(static_cast<int>((x - plot.left()) * n / plot.width()), 0, n - 1);
}

bool FindChart::event(QEvent* e)
{
    if (e->type() != QEvent::ToolTip) {
        return QWidget::event(e);
    }
    const auto* help = static_cast<QHelpEvent*>(e);
    const int day = dayAt(help->pos().x());
    if (day < 0) {
        QToolTip::hideText();
        e->ignore();
        return true;
    }
    const QDate date = m_lastDay.addDays(day - static_cast<int>(m_counts.size()) + 1);
    QToolTip::showText(help->globalPos(),
                       QStringLiteral("%1：%2 件")
                           .arg(date.toString(QStringLiteral("yyyy-MM-dd")))
                           .arg(m_counts[static_cast<std::size_t>(day)]),
                       this);
    return true;
}

void FindChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const QRectF plot = plotArea();
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    if (m_counts.empty()) {
        return;
    }

    const int n = static_cast<int>(m_counts.size());
    const int highest = *std::max_element(m_counts.begin(), m_counts.end());
    painter.setPen(palette().color(QPalette::Text));
    const QRectF below(plot.left(), plot.bottom() + 2, plot.width(), fontMetrics().height());
    painter.drawText(below, Qt::AlignLeft | Qt::AlignVCenter,
                     m_lastDay.addDays(1 - n).toString(QStringLiteral("MM-dd")));
    painter.drawText(below, Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("今天"));
    if (highest == 0) {
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("近 %1 天没有发现").arg(n));
        return;
    }

    const qreal slot = plot.width() / n;
    const qreal gap = slot > 4 ? 1.5 : 0;
    int labelled = -1;
    for (int i = 0; i < n; ++i) {
        const int count = m_counts[static_cast<std::size_t>(i)];
        if (count == highest) {
            labelled = i; // the latest of equal highs
        }
        if (count == 0) {
            continue;
        }
        const qreal h = plot.height() * count / highest;
        painter.fillRect(QRectF(plot.left() + i * slot + gap / 2, plot.bottom() - h, slot - gap, h),
                         i == n - 1 ? palette().color(QPalette::Highlight).darker(120)
                                    : palette().color(QPalette::Highlight));
    }
    // Centred over its bar, but kept inside the widget at either end.
    const QString label = QString::number(highest);
    const qreal width = fontMetrics().horizontalAdvance(label);
    const qreal centre = plot.left() + (labelled + 0.5) * slot;
    const qreal left = std::clamp(centre - width / 2, 0.0, std::max(0.0, this->width() - width));
    painter.drawText(QRectF(left, 0, width, plot.top() - 1), Qt::AlignCenter, label);
}

} // namespace tw
