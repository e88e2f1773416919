#include "shell/exceptions.h"

#include "shell/log.h"

const char* SehExceptionName(uint32_t code) {
  switch (code) {
    case 0x80000001: return "Guard page";
    case 0x80000002: return "Datatype misalignment";
    case 0x80000003: return "Breakpoint";
    case 0x80000004: return "Single step";
    case 0xC0000005: return "Access violation";
    case 0xC0000006: return "In page error";
    case 0xC0000008: return "Invalid handle";
    case 0xC000001D: return "Illegal instruction";
    case 0xC0000025: return "Noncontinuable exception";
    case 0xC0000026: return "Invalid disposition";
    case 0xC000008C: return "Array bounds exceeded";
    case 0xC000008D: return "Float denormal operand";
    case 0xC000008E: return "Float divide by zero";
    case 0xC000008F: return "Float inexact result";
    case 0xC0000090: return "Float invalid operation";
    case 0xC0000091: return "Float overflow";
    case 0xC0000092: return "Float stack check";
    case 0xC0000093: return "Float underflow";
    case 0xC0000094: return "Integer divide by zero";
    case 0xC0000095: return "Integer overflow";
    case 0xC0000096: return "Privileged instruction";
    case 0xC00000FD: return "Stack overflow";
    case 0xE06D7363: return "C++ exception";
    default: return "Unknown SEH exception";
  }
}

namespace {
thread_local bool translatorInstalled = false;
}

void InstallExceptionTranslator() { translatorInstalled = true; }

void ReportVcse(const char* name, const VCSE& e) {
  LogError("[%s] SEH Exception: %s (error code: 0x%x)", name, SehExceptionName(e.record.ExceptionCode),
           e.record.ExceptionCode);
}

void ReportStdException(const char* name, const std::exception& e) {
  LogError("[%s] Exception: %s", name, e.what());
}

void ReportUnknownException(const char* name) { LogError("[%s] Unknown exception", name); }
