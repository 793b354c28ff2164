// The Win32 transport on real handles, run under Wine: a message-mode named pipe stands in for a
// kernel-streaming pin, since a transceive on it is a device I/O control request that stays
// pending until the other end answers (as a stream read waits for a frame) and completes with the
// answer's length, a warning when the answer does not fit, or a failure when the other end goes.
#include "client/windows/win32.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

using qh::client::Handle;
using qh::client::IoStatus;
using qh::client::win32::Win32Transport;

int g_failures = 0;

void expect(bool ok, const char* what, long long got = 0) {
    std::printf("%s %s", ok ? "ok:  " : "FAIL:", what);
    if (!ok) std::printf(" (got %#llx)", got);
    std::printf("\n");
    if (!ok) ++g_failures;
}

constexpr DWORD kWaitMs = 10000;
// TransactNamedPipe's request (the native headers have it; the user-mode ones do not).
constexpr uint32_t FSCTL_PIPE_TRANSCEIVE =
    CTL_CODE(FILE_DEVICE_NAMED_PIPE, 5, METHOD_NEITHER, FILE_READ_DATA | FILE_WRITE_DATA);

// The pipe's far end: answers each message once told to.
struct Server {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE go = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::wstring name;

    explicit Server(const std::wstring& n) : name(n) {
        pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                1, 4096, 4096, 0, nullptr);
    }
    ~Server() {
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        CloseHandle(go);
    }
    bool receive(std::string& message) {
        char buffer[256];
        DWORD got = 0;
        if (!ReadFile(pipe, buffer, sizeof buffer, &got, nullptr)) return false;
        message.assign(buffer, got);
        return true;
    }
    bool answer(const std::string& text) {
        DWORD put = 0;
        return WriteFile(pipe, text.data(), DWORD(text.size()), &put, nullptr) && put == text.size();
    }
};

struct Completion {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> calls{0};
    IoStatus status;
    DWORD thread = 0;
    ~Completion() { CloseHandle(done); }
    qh::client::IoCompletion callback() {
        return [this](IoStatus s) {
            status = s;
            thread = GetCurrentThreadId();
            ++calls;
            SetEvent(done);
        };
    }
};

DWORD WINAPI serve(void* context) {
    auto* server = static_cast<Server*>(context);
    ConnectNamedPipe(server->pipe, nullptr);
    std::string message;
    // 1: answered only once the client has seen its request pending.
    if (!server->receive(message) || message != "ping") return 1;
    WaitForSingleObject(server->go, kWaitMs);
    server->answer("pong!");
    // 2: answered at once.
    if (!server->receive(message) || message != "size?") return 2;
    server->answer("four");
    // 3: an answer longer than the client's buffer.
    if (!server->receive(message) || message != "long") return 3;
    server->answer("a longer answer");
    // 4: never answered; the pipe goes away once the client's request is pending.
    if (!server->receive(message) || message != "hang") return 4;
    WaitForSingleObject(server->go, kWaitMs);
    DisconnectNamedPipe(server->pipe);
    return 0;
}

}  // namespace

int main() {
    const std::wstring name = L"\\\\.\\pipe\\quadhdmi-transport-test-" + std::to_wstring(GetCurrentProcessId());
    Server server(name);
    expect(server.pipe != INVALID_HANDLE_VALUE, "the test's pipe exists");
    HANDLE thread = CreateThread(nullptr, 0, serve, &server, 0, nullptr);

    {
        Win32Transport transport;
        Handle handle = nullptr;
        NTSTATUS status = transport.open(name, &handle);
        expect(status == STATUS_SUCCESS, "the transport opens the pipe by its path", status);
        DWORD mode = PIPE_READMODE_MESSAGE;
        SetNamedPipeHandleState(handle, &mode, nullptr, nullptr);

        // An overlapped request that waits for the far end: pending, then its completion once, on
        // the transport's thread, with the answer and its length.
        char out[32] = {};
        Completion first;
        status = transport.control_async(handle, FSCTL_PIPE_TRANSCEIVE, "ping", 4, out, sizeof out, first.callback());
        expect(status == STATUS_PENDING, "a request the far end has not answered is pending", status);
        expect(first.calls == 0, "and has not completed yet", first.calls);
        SetEvent(server.go);
        expect(WaitForSingleObject(first.done, kWaitMs) == WAIT_OBJECT_0, "it completes once answered");
        expect(first.status.status == STATUS_SUCCESS, "with success", first.status.status);
        expect(first.status.information == 5 && std::memcmp(out, "pong!", 5) == 0,
               "with the answer and its length as Information", first.status.information);
        expect(first.thread != GetCurrentThreadId(), "on the transport's completion thread");

        // A synchronous request: the status and Information from the status block.
        char small[8] = {};
        IoStatus answer = transport.control(handle, FSCTL_PIPE_TRANSCEIVE, "size?", 5, small, sizeof small);
        expect(answer.status == STATUS_SUCCESS && answer.information == 4 && std::memcmp(small, "four", 4) == 0,
               "a synchronous request returns the answer and its length", answer.status);

        // A warning keeps its NTSTATUS (Win32 would say ERROR_MORE_DATA) and its Information.
        answer = transport.control(handle, FSCTL_PIPE_TRANSCEIVE, "long", 4, small, sizeof small);
        expect(answer.status == STATUS_BUFFER_OVERFLOW, "an answer that does not fit is STATUS_BUFFER_OVERFLOW",
               answer.status);
        expect(answer.information == sizeof small, "with the bytes that fitted as Information", answer.information);
        // The rest of the long answer is still in the pipe; read it out so the next request starts clean.
        // (An overlapped read whose event's low bit keeps it off the transport's port.)
        char rest[32];
        DWORD got = 0;
        OVERLAPPED read{};
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        read.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<ULONG_PTR>(event) | 1);
        if (!ReadFile(handle, rest, sizeof rest, &got, &read)) GetOverlappedResult(handle, &read, &got, TRUE);
        CloseHandle(event);

        // A pending request whose far end goes away completes with a failure, once.
        Completion broken;
        status = transport.control_async(handle, FSCTL_PIPE_TRANSCEIVE, "hang", 4, out, sizeof out, broken.callback());
        expect(status == STATUS_PENDING, "a request left unanswered is pending", status);
        SetEvent(server.go);
        expect(WaitForSingleObject(broken.done, kWaitMs) == WAIT_OBJECT_0, "it completes when the far end goes");
        expect(!NT_SUCCESS(broken.status.status), "with a failure status", broken.status.status);
        expect(transport.close(handle) == STATUS_SUCCESS, "the handle closes");

        // A request refused at once (the handle is gone): its status is returned, the completion never runs.
        Completion refused;
        status = transport.control_async(handle, FSCTL_PIPE_TRANSCEIVE, "x", 1, out, sizeof out, refused.callback());
        expect(status == STATUS_INVALID_HANDLE, "a request on a closed handle is refused with STATUS_INVALID_HANDLE",
               status);
        answer = transport.control(handle, FSCTL_PIPE_TRANSCEIVE, "x", 1, out, sizeof out);
        expect(answer.status == STATUS_INVALID_HANDLE, "synchronously too", answer.status);
        expect(transport.open(name + L"-absent", &handle) == STATUS_OBJECT_NAME_NOT_FOUND,
               "a path that does not exist is STATUS_OBJECT_NAME_NOT_FOUND");
        // The transport's end waits for its thread: every completion has run by then.
        expect(broken.calls == 1 && first.calls == 1 && refused.calls == 0, "every completion ran exactly once");
    }
    WaitForSingleObject(thread, kWaitMs);
    DWORD code = 99;
    GetExitCodeThread(thread, &code);
    expect(code == 0, "the far end saw every request as sent", code);
    CloseHandle(thread);
    std::printf(g_failures ? "transport: %d check(s) failed\n" : "transport: every check passed\n", g_failures);
    return g_failures ? 1 : 0;
}
