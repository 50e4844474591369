#include "vpk/stack_trace.h"
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include "vpk/handle.h"
#include "vpk/process_log.h"

namespace vpk {

namespace {

constexpr DWORD max_symbol_name = 256;

// The longest frame line, piece by piece as written below: a module's file
// name with "!" and its base, a space; ": " and a symbol of the walk's
// longest; ": \"file\"(line + 0xdisplacement)"; the line end. Below this much
// room, plus the "..." marker and the terminator, the trace is cut off, so a
// line is never cut in the middle and the marker always fits.
constexpr ptrdiff_t longest_module = (MAX_PATH - 1) + 1 + 16 + 1;
constexpr ptrdiff_t longest_symbol = 2 + max_symbol_name;
constexpr ptrdiff_t longest_source = 3 + MAX_PATH + 2 + 10 + 5 + 8 + 1;
constexpr ptrdiff_t frame_reserve = longest_module + longest_symbol + longest_source + 2 + sizeof "...\r\n";

char* put(char* out, char* end, const char* format, ...)
{
    if (out >= end) return out;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(out, static_cast<size_t>(end - out), format, args);
    va_end(args);
    if (n < 0) return out;
    return n < end - out ? out + n : end - 1;
}

const char* file_part(const char* path)
{
    const char* name = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') name = p + 1;
    return name;
}

}  // namespace

char* write_stack_trace(char* out, char* end, unsigned max_frames)
{
    stack_walk_lock lock;
    if (!lock.table()) return out;
    return write_stack_trace_locked(*lock.table(), out, end, max_frames);
}

char* write_stack_trace_locked(const ProcessLogDebugHelp& help, char* out, char* end, unsigned max_frames)
{
    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();
    // The walk starts from a captured context: without one the 64-bit walk
    // has nothing to unwind from.
    CONTEXT context;
    RtlCaptureContext(&context);
    STACKFRAME frame;
    memset(&frame, 0, sizeof frame);
#ifdef _WIN64
    const DWORD machine = IMAGE_FILE_MACHINE_AMD64;
    frame.AddrPC.Offset = context.Rip;
    frame.AddrStack.Offset = context.Rsp;
    frame.AddrFrame.Offset = context.Rbp;
#else
    const DWORD machine = IMAGE_FILE_MACHINE_I386;
    frame.AddrPC.Offset = context.Eip;
    frame.AddrStack.Offset = context.Esp;
    frame.AddrFrame.Offset = context.Ebp;
#endif
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Mode = AddrModeFlat;

    IMAGEHLP_MODULE module_info;
    union {
        IMAGEHLP_SYMBOL symbol;
        char bytes[sizeof(IMAGEHLP_SYMBOL) + max_symbol_name];
    } symbol_buffer;
    IMAGEHLP_LINE line;

    for (unsigned i = 0;; ++i) {
        if (!help.StackWalk(machine, process, thread, &frame, &context, nullptr, help.SymFunctionTableAccess,
                help.SymGetModuleBase, nullptr))
            break;
        if (end - out < frame_reserve || (max_frames != 0 && i >= max_frames)) {
            out = put(out, end, "...\r\n");
            break;
        }
        const DWORD_PTR pc = static_cast<DWORD_PTR>(frame.AddrPC.Offset);
        // Every frame's address is a return address (a fault's is made one by
        // the translator). After a call to a function that does not return it
        // is the first byte past the caller, which 32-bit GCC does not pad with
        // a nop as the 64-bit one does: names and lines are looked up at the
        // call instruction itself, one byte back.
        const DWORD_PTR site = pc - 1;

        memset(&module_info, 0, sizeof module_info);
        module_info.SizeOfStruct = sizeof module_info;
        bool known = help.SymGetModuleInfo(process, site, &module_info);
        if (!known && help.RefreshModuleList) {
            help.RefreshModuleList(process);
            known = help.SymGetModuleInfo(process, site, &module_info);
        }
        if (known) {
            out = put(out, end, "%s ", file_part(module_info.ImageName));
        } else {
            MODULEINFO info;
            char file_name[MAX_PATH];
            if (find_module_of(reinterpret_cast<const void*>(site), &info, file_name))
                out = put(out, end, "%s!%llx ", file_part(file_name),
                    static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll)));
            else
                out = put(out, end, " ");
        }

        memset(&symbol_buffer, 0, sizeof symbol_buffer);
        symbol_buffer.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL);
        symbol_buffer.symbol.MaxNameLength = max_symbol_name;
        // Displacements are shown from the return address, as the walk gives it.
        DWORD_PTR symbol_displacement = 0;
        if (help.SymGetSymFromAddr(process, site, &symbol_displacement, &symbol_buffer.symbol)) {
            ++symbol_displacement;
            out = put(out, end, ": %s", symbol_buffer.symbol.Name);
        } else {
            out = put(out, end, ": 0x%08llX", static_cast<unsigned long long>(pc));
        }

        memset(&line, 0, sizeof line);
        line.SizeOfStruct = sizeof line;
        DWORD line_displacement = 0;
        if (help.SymGetLineFromAddr(process, site, &line_displacement, &line) && line.FileName) {
            ++line_displacement;
            char file[MAX_PATH + 1];
            lstrcpynA(file, file_part(line.FileName), sizeof file);
            out = put(out, end, ": \"%s\"(%lu + 0x%lX)", file, static_cast<unsigned long>(line.LineNumber),
                static_cast<unsigned long>(line_displacement));
        } else {
            out = put(out, end, " + 0x%llX", static_cast<unsigned long long>(symbol_displacement));
        }
        out = put(out, end, "\r\n");
    }
    return out;
}

bool find_module_of(const void* address, MODULEINFO* info, char* file_name) noexcept
{
    if (!info || !file_name) return false;
    unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
    if (!process) return false;
    HMODULE modules[1024];
    DWORD needed = 0;
    if (!EnumProcessModules(process.get(), modules, sizeof modules, &needed)) return false;
    const DWORD count = needed / sizeof(HMODULE) < 1024 ? needed / sizeof(HMODULE) : 1024;
    const auto at = reinterpret_cast<ULONG_PTR>(address);
    for (DWORD i = 0; i < count; ++i) {
        MODULEINFO m;
        if (!GetModuleInformation(process.get(), modules[i], &m, sizeof m)) continue;
        const auto base = reinterpret_cast<ULONG_PTR>(m.lpBaseOfDll);
        if (base <= at && at < base + m.SizeOfImage) {
            if (!GetModuleFileNameExA(process.get(), modules[i], file_name, MAX_PATH)) return false;
            *info = m;
            return true;
        }
    }
    return false;
}

}  // namespace vpk
