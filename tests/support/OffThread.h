#pragma once

#include <QEventLoop>
#include <QMetaObject>
#include <QObject>

#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

// Runs work on a thread of its own, as a session runs, while this thread's event loop
// goes on: the scripted peers and stand-in meters of a test live on this thread and
// answer the engine's blocking I/O meanwhile. Returns what work returned.
template <class Work>
auto OffThread(Work work) -> std::invoke_result_t<Work>
{
    using Result = std::invoke_result_t<Work>;
    QEventLoop loop;
    QObject receiver;
    const auto run = [&](auto&& body) {
        std::thread thread([&] {
            body();
            QMetaObject::invokeMethod(
                &receiver, [&loop] { loop.quit(); }, Qt::QueuedConnection);
        });
        loop.exec();
        thread.join();
    };
    if constexpr (std::is_void_v<Result>) {
        run(work);
    } else {
        std::optional<Result> result;
        run([&] { result.emplace(work()); });
        return std::move(*result);
    }
}
