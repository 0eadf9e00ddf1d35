// The administrator's commands on the jobs the server holds: the list of held jobs, and the
// release, deletion, pause, new owner or new examination of one, sent to the agent that
// reported it (its address from its registration; its endpoint from the endpoint mapper of
// that host, else "7002") and recorded in the ledger.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

#include "tools/tollserver/ledger.h"
#include "tools/tollserver/policy.h"

namespace tollserver {

// What a held job waits for, by its decision ("" when the decision does not hold it).
std::string WaitingFor(std::int64_t status);

// Prints the jobs held and not yet commanded; returns the exit code.
int PrintHeld(Database& db, const Policy& policy, std::ostream& out);

enum class JobCommand { kRelease, kDelete, kPause, kOwner, kReexamine };

// Sends the command for ledger job `job` and records it; `user` is the new owner of kOwner.
// `from`: the address of this server that the command leaves from (one the agents know the
// server by; empty for the system's choice). Prints one line on `out`, or the
// failure on `err`; returns the exit code (0 done, 1 failed).
int CommandJob(Ledger& ledger, const Policy& policy, std::int64_t job, JobCommand command,
               const std::string& user, std::ostream& out, std::ostream& err,
               const std::string& from = std::string());

}  // namespace tollserver
