#include "server/thread_context.h"

bool ThreadContext::Begin(const char*) { return true; }
void ThreadContext::End(const char*) {}
