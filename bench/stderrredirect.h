#ifndef STDERRREDIRECT_H
#define STDERRREDIRECT_H

// Points standard error at a file (appending) for as long as it lives.
class StderrRedirect
{
public:
    explicit StderrRedirect(const char *path);
    ~StderrRedirect();
    StderrRedirect(const StderrRedirect &) = delete;
    StderrRedirect &operator=(const StderrRedirect &) = delete;

private:
    int saved;
};

#endif // STDERRREDIRECT_H
