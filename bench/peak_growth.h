// Peak resident growth of one run of a query, measured in a child of its own
// so that nothing measured before has raised the peak already.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

// Bytes the peak resident size grew by while `run` ran in a forked child,
// or -1 when it could not be measured or `run` returned false.
template <typename Run>
long peak_growth_in_child(Run run)
{
    int result[2];
    if (pipe(result) < 0)
        return -1;
    pid_t child = fork();
    if (child < 0) {
        close(result[0]);
        close(result[1]);
        return -1;
    }
    if (child == 0) {
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        bool ran = run();
        getrusage(RUSAGE_SELF, &after);
        long grown = ran ? (after.ru_maxrss - before.ru_maxrss) * 1024 : -1;
        ssize_t wrote = write(result[1], &grown, sizeof grown);
        _exit(wrote == sizeof grown ? 0 : 1);
    }
    close(result[1]);
    long grown = -1;
    if (read(result[0], &grown, sizeof grown) != sizeof grown)
        grown = -1;
    close(result[0]);
    waitpid(child, nullptr, 0);
    return grown;
}
