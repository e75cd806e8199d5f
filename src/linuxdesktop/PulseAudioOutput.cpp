#include "linuxdesktop/PulseAudioOutput.h"

#include <QFuture>
#include <QPointer>
#include <QPromise>
#include <QTimer>
#include <qcoro/qcorofuture.h>

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace corvane {

namespace {

template <typename T>
using Promise = std::shared_ptr<QPromise<T>>;

template <typename T>
Promise<T> pending() {
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    return promise;
}

// Settles a promise once; later answers (a late reply after the time limit) are dropped. Called
// with the loop's lock held.
template <typename T>
void settle(const Promise<T>& promise, T value) {
    if (!promise->future().isFinished()) {
        promise->addResult(std::move(value));
        promise->finish();
    }
}

} // namespace

// Everything libpulse touches. Every member is read and written under the threaded main loop's
// lock: by libpulse's callbacks (which hold it) or by the main thread (which takes it briefly,
// never across a wait).
struct PulseAudioOutput::Loop {
    std::string server;
    pa_threaded_mainloop* mainloop = nullptr;
    pa_context* context = nullptr;
    bool fetching = false;
    bool known = false;
    bool reachable = false;
    std::string sink;
    pa_cvolume volume{};
    bool muted = false;
    std::vector<Promise<std::optional<State>>> readers;
    // Changes whose answer has not come; settled as failed when the output goes.
    std::vector<std::weak_ptr<QPromise<bool>>> changes;

    struct Lock {
        explicit Lock(pa_threaded_mainloop* loop)
            : loop(loop) {
            pa_threaded_mainloop_lock(loop);
        }
        ~Lock() { pa_threaded_mainloop_unlock(loop); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;
        pa_threaded_mainloop* loop;
    };

    std::optional<State> state() const {
        if (!known) {
            return std::nullopt;
        }
        return State{percentOf(pa_cvolume_max(&volume)), muted};
    }

    void answerReaders() {
        const std::optional<State> now = state();
        for (const auto& reader : readers) {
            settle(reader, now);
        }
        readers.clear();
    }

    void lost() {
        known = false;
        fetching = false;
        reachable = false;
        answerReaders();
    }

    // A fresh context when there is none or the last one failed; it reports through state().
    void ensureContext() {
        if (context != nullptr) {
            const pa_context_state_t state = pa_context_get_state(context);
            if (state != PA_CONTEXT_FAILED && state != PA_CONTEXT_TERMINATED) {
                return;
            }
            pa_context_set_state_callback(context, nullptr, nullptr);
            pa_context_set_subscribe_callback(context, nullptr, nullptr);
            pa_context_disconnect(context);
            pa_context_unref(context);
            context = nullptr;
        }
        pa_proplist* properties = pa_proplist_new();
        pa_proplist_sets(properties, PA_PROP_APPLICATION_NAME, "Velto");
        context = pa_context_new_with_proplist(pa_threaded_mainloop_get_api(mainloop), "Velto",
                                               properties);
        pa_proplist_free(properties);
        if (context == nullptr) {
            lost();
            return;
        }
        pa_context_set_state_callback(context, &Loop::contextState, this);
        if (pa_context_connect(context, server.empty() ? nullptr : server.c_str(),
                               PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            lost();
        }
    }

    void fetch() {
        if (fetching || context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY) {
            return;
        }
        pa_operation* operation = pa_context_get_server_info(context, &Loop::serverInfo, this);
        if (operation == nullptr) {
            lost();
            return;
        }
        fetching = true;
        pa_operation_unref(operation);
    }

    static void contextState(pa_context* context, void* data) {
        auto* loop = static_cast<Loop*>(data);
        switch (pa_context_get_state(context)) {
        case PA_CONTEXT_READY: {
            loop->reachable = true;
            pa_context_set_subscribe_callback(context, &Loop::subscription, loop);
            const auto mask = static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SINK |
                                                                  PA_SUBSCRIPTION_MASK_SERVER);
            if (pa_operation* operation = pa_context_subscribe(context, mask, nullptr, nullptr)) {
                pa_operation_unref(operation);
            }
            loop->fetch();
            break;
        }
        case PA_CONTEXT_FAILED:
        case PA_CONTEXT_TERMINATED:
            loop->lost();
            break;
        default:
            break;
        }
    }

    static void serverInfo(pa_context* context, const pa_server_info* info, void* data) {
        auto* loop = static_cast<Loop*>(data);
        if (info == nullptr || info->default_sink_name == nullptr) {
            loop->known = false;
            loop->fetching = false;
            loop->answerReaders();
            return;
        }
        loop->sink = info->default_sink_name;
        pa_operation* operation =
            pa_context_get_sink_info_by_name(context, loop->sink.c_str(), &Loop::sinkInfo, loop);
        if (operation == nullptr) {
            loop->lost();
            return;
        }
        pa_operation_unref(operation);
    }

    static void sinkInfo(pa_context*, const pa_sink_info* info, int last, void* data) {
        auto* loop = static_cast<Loop*>(data);
        if (last < 0) {
            // No such sink (the default went away between the two questions).
            loop->known = false;
        } else if (info != nullptr) {
            if (pa_cvolume_valid(&info->volume) != 0) {
                loop->volume = info->volume;
                loop->muted = info->mute != 0;
                loop->known = true;
            } else {
                loop->known = false;
            }
            return;
        }
        loop->fetching = false;
        loop->answerReaders();
    }

    static void subscription(pa_context*, pa_subscription_event_type_t, std::uint32_t, void* data) {
        // A sink or the server changed (a new default, a level, a mute): read the default again.
        auto* loop = static_cast<Loop*>(data);
        loop->fetching = false;
        loop->fetch();
    }

    static void succeeded(pa_context*, int success, void* data) {
        auto* promise = static_cast<Promise<bool>*>(data);
        settle(*promise, success != 0);
        delete promise;
    }
};

PulseAudioOutput::PulseAudioOutput(std::string server, QObject* parent)
    : QObject(parent)
    , loop_(std::make_unique<Loop>()) {
    loop_->server = std::move(server);
    loop_->mainloop = pa_threaded_mainloop_new();
    if (loop_->mainloop == nullptr || pa_threaded_mainloop_start(loop_->mainloop) < 0) {
        if (loop_->mainloop != nullptr) {
            pa_threaded_mainloop_free(loop_->mainloop);
            loop_->mainloop = nullptr;
        }
        return;
    }
    const Loop::Lock lock(loop_->mainloop);
    loop_->ensureContext();
}

PulseAudioOutput::~PulseAudioOutput() {
    if (loop_->mainloop == nullptr) {
        return;
    }
    {
        const Loop::Lock lock(loop_->mainloop);
        loop_->answerReaders();
        for (const auto& change : loop_->changes) {
            if (const Promise<bool> promise = change.lock()) {
                settle(promise, false);
            }
        }
        if (loop_->context != nullptr) {
            pa_context_set_state_callback(loop_->context, nullptr, nullptr);
            pa_context_set_subscribe_callback(loop_->context, nullptr, nullptr);
            pa_context_disconnect(loop_->context);
            pa_context_unref(loop_->context);
            loop_->context = nullptr;
        }
    }
    pa_threaded_mainloop_stop(loop_->mainloop);
    pa_threaded_mainloop_free(loop_->mainloop);
}

int PulseAudioOutput::percentOf(std::uint32_t volume) {
    const double percent = std::round(double(volume) * 100.0 / double(PA_VOLUME_NORM));
    return static_cast<int>(std::clamp(percent, 0.0, 100.0));
}

std::uint32_t PulseAudioOutput::volumeOf(int percent) {
    const int clamped = std::clamp(percent, 0, 100);
    return static_cast<std::uint32_t>(std::lround(double(clamped) * PA_VOLUME_NORM / 100.0));
}

bool PulseAudioOutput::reachable() const {
    if (loop_->mainloop == nullptr) {
        return false;
    }
    const Loop::Lock lock(loop_->mainloop);
    return loop_->reachable;
}

QCoro::Task<std::optional<AudioOutput::State>> PulseAudioOutput::read() {
    if (loop_->mainloop == nullptr) {
        co_return std::nullopt;
    }
    Promise<std::optional<State>> reader;
    {
        const Loop::Lock lock(loop_->mainloop);
        if (loop_->known) {
            co_return loop_->state();
        }
        loop_->ensureContext();
        if (!loop_->reachable && loop_->context != nullptr &&
            pa_context_get_state(loop_->context) == PA_CONTEXT_FAILED) {
            co_return std::nullopt;
        }
        reader = pending<std::optional<State>>();
        loop_->readers.push_back(reader);
        loop_->fetch();
    }
    QTimer::singleShot(answerTime, this, [this, reader] {
        const Loop::Lock lock(loop_->mainloop);
        settle(reader, std::optional<State>());
    });
    const QFuture<std::optional<State>> answer = reader->future();
    std::optional<State> state = co_await answer;
    co_return state;
}

QCoro::Task<ControlResult> PulseAudioOutput::setVolume(int level) {
    return change(true, level, false);
}

QCoro::Task<ControlResult> PulseAudioOutput::setMuted(bool muted) {
    return change(false, 0, muted);
}

QCoro::Task<ControlResult> PulseAudioOutput::change(bool volume, int level, bool muted) {
    QPointer<PulseAudioOutput> self(this);
    // The sink and its channels must be known before a change can be formed.
    const std::optional<State> before = co_await read();
    const Promise<bool> done = pending<bool>();
    if (!before || !self) {
        co_return ControlResult::NotSent;
    }
    {
        const Loop::Lock lock(loop_->mainloop);
        if (!loop_->known || loop_->context == nullptr ||
            pa_context_get_state(loop_->context) != PA_CONTEXT_READY) {
            co_return ControlResult::NotSent;
        }
        auto* data = new Promise<bool>(done);
        pa_operation* operation = nullptr;
        pa_cvolume target = loop_->volume;
        if (volume) {
            const pa_volume_t wanted = volumeOf(level);
            if (pa_cvolume_max(&target) == PA_VOLUME_MUTED) {
                pa_cvolume_set(&target, target.channels, wanted);
            } else {
                pa_cvolume_scale(&target, wanted);
            }
            operation = pa_context_set_sink_volume_by_name(loop_->context, loop_->sink.c_str(),
                                                           &target, &Loop::succeeded, data);
        } else {
            operation = pa_context_set_sink_mute_by_name(loop_->context, loop_->sink.c_str(),
                                                         muted ? 1 : 0, &Loop::succeeded, data);
        }
        if (operation == nullptr) {
            delete data;
            co_return ControlResult::NotSent;
        }
        pa_operation_unref(operation);
        std::erase_if(loop_->changes, [](const auto& change) { return change.expired(); });
        loop_->changes.push_back(done);
        // Kept at once, so that a read right after the answer sees the change before the
        // subscription's event brings it.
        if (volume) {
            loop_->volume = target;
        } else {
            loop_->muted = muted;
        }
    }
    QTimer::singleShot(answerTime, this, [this, done] {
        const Loop::Lock lock(loop_->mainloop);
        settle(done, false);
    });
    const QFuture<bool> answer = done->future();
    const bool succeeded = co_await answer;
    if (!succeeded && self) {
        // What the server really holds is read again.
        const Loop::Lock lock(loop_->mainloop);
        loop_->known = false;
    }
    co_return succeeded ? ControlResult::Done : ControlResult::Refused;
}

} // namespace corvane
