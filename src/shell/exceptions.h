// Exception reporting shared by every thread body and by the database client: the exception type
// VCSE that carries an operating-system exception code, the names of those codes, and the frame
// that runs a piece of work and reports whatever it throws in the three standard formats.
// Pure functions and a stateless frame: safe from any thread.
#pragma once

#include <cstdint>
#include <exception>

// The record of an operating-system exception: its code, flags and the faulting address.
struct ExceptionRecord {
  uint32_t ExceptionCode = 0;
  uint32_t ExceptionFlags = 0;
  void* ExceptionAddress = nullptr;
};

// The processor state at the fault, as far as it is known (instruction and stack pointers).
struct ExceptionContext {
  uintptr_t InstructionPointer = 0;
  uintptr_t StackPointer = 0;
};

// Carries an operating-system exception by value; thrown by value and caught by reference.
// Synchronous faults (SIGSEGV and the like) are not turned into VCSE on this platform, since
// throwing from a signal handler is unsound; code that detects such a condition may throw one.
class VCSE {
 public:
  VCSE() = default;
  VCSE(const ExceptionRecord& r, const ExceptionContext& c) : record(r), context(c) {}
  explicit VCSE(uint32_t code) { record.ExceptionCode = code; }
  ExceptionRecord record;
  ExceptionContext context;
};

// The constant text for an exception code; "Unknown SEH exception" for codes not in the table.
const char* SehExceptionName(uint32_t code);

// Installed per thread first thing in every thread body. On this platform it is a per-thread hook
// that records that the thread follows the reporting convention; it changes no signal handling.
void InstallExceptionTranslator();

// Runs work inside a try and reports an escaping exception with LogError:
//   VCSE            "[%s] SEH Exception: %s (error code: 0x%x)"
//   std::exception  "[%s] Exception: %s"
//   anything else   "[%s] Unknown exception"
// Returns true when the work finished without an exception.
template <class Work>
bool RunReported(const char* name, Work&& work);

// The reporting half of RunReported, for code that has its own try blocks.
void ReportVcse(const char* name, const VCSE& e);
void ReportStdException(const char* name, const std::exception& e);
void ReportUnknownException(const char* name);

template <class Work>
bool RunReported(const char* name, Work&& work) {
  try {
    work();
    return true;
  } catch (const VCSE& e) {
    ReportVcse(name, e);
  } catch (const std::exception& e) {
    ReportStdException(name, e);
  } catch (...) {
    ReportUnknownException(name);
  }
  return false;
}
