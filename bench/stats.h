#ifndef STATS_H
#define STATS_H

#include <QVector>

// Order statistics of a sample; both return 0 for an empty one.
double median(QVector<double> values);
// The nearest-rank percentile: the smallest value not exceeded by p % of the sample.
double percentile(QVector<double> values, double p);

#endif // STATS_H
