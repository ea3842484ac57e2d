#ifndef STATS_H
#define STATS_H

#include <QVector>

#include <algorithm>
#include <cmath>

// The nearest-rank percentile: the smallest value not exceeded by p % of the sample; 0 for an
// empty one.
inline double percentile(QVector<double> values, double p)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int rank = int(std::ceil(p / 100.0 * values.size()));
    return values.at(std::clamp(rank - 1, 0, int(values.size()) - 1));
}

// The middle value, or the mean of the two middle ones; 0 for an empty sample.
inline double median(QVector<double> values)
{
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const int n = values.size();
    return n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

#endif // STATS_H
