#ifndef UNITFAILURE_H
#define UNITFAILURE_H

// Why a unit could not be talked to. The command line turns it into its exit code, the gateway
// into a unit that is offline.
enum class UnitFailure { None, CannotOpen, NoUnit };

#endif // UNITFAILURE_H
