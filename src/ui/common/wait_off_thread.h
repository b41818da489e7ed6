#pragma once

#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

// Camera calls made from a window wait on the camera (a login to a camera that never answers
// takes seconds). WaitOffUiThread runs such a call on a thread of its own and waits for it in an
// event loop that leaves user input queued: the windows keep painting, the other video panes
// keep playing and timers keep running, while clicks and keys wait until the call has returned,
// so calls keep their order and never overlap. A busy cursor shows meanwhile.
// The call's own messages (velmora::platform::Messages) are shown by the user-interface thread; the call
// must not touch widgets itself. Called from any other thread, or before the application exists,
// the call simply runs where it is.
// Thread-bound: the user-interface thread.
namespace velmora::ui {

// Runs `call` as described above; returns when it has returned.
void WaitOffUiThreadVoid(const std::function<void()>& call);

// The same for a call with a result.
template <class Call>
auto WaitOffUiThread(Call&& call) -> std::invoke_result_t<Call&> {
    using Result = std::invoke_result_t<Call&>;
    if constexpr (std::is_void_v<Result>) {
        WaitOffUiThreadVoid(std::function<void()>(std::ref(call)));
    } else {
        std::optional<Result> result;
        WaitOffUiThreadVoid([&] { result.emplace(call()); });
        return std::move(*result);
    }
}

// How many calls are being waited for at the moment (nested waits count each).
int CallsWaitedFor();

}  // namespace velmora::ui
