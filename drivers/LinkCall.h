#pragma once

// What both link libraries share for QD_LinkQuery (board/LinkQuery.h): the
// outcome of each thread's last call, and the answers to the queries. Each
// library carries its own copy of the drivers, so "the last call" is always
// a call into the library that asks.

#include "drivers/Backend.h"

namespace qd::drivers {

// Kept per thread, as errno is: one thread's calls never hide another's.
void recordCall(const LinkResult& result);
LinkResult lastCall();

// Chooses board N for a library that finds its board by itself.
using SelectBoard = LinkResult (*)(int board);

// Answers one query for `library`: "why", "boards" and "quiet" here, "select=N"
// through `select`, which is null for a library whose callers choose the
// board themselves. Queries do not change what "why" says afterwards.
int answerLinkQuery(const char* library, const char* query, char* answer, int size,
                    SelectBoard select);

} // namespace qd::drivers
