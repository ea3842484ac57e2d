#ifndef CPUTIME_H
#define CPUTIME_H

// CPU time this process has used so far, user and system, in seconds: what a spinning event
// loop would show while a test idles.
double cpuSeconds();

#endif // CPUTIME_H
