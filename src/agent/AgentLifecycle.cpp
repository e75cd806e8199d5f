#include "agent/Agent.h"

#include "actions/KeychainStore.h"
#include "actions/LocalHTTPServerError.h"
#include "actions/ShortcutAllowlist.h"
#include "agent/AgentDetail.h"
#include "core/CommandFeedback.h"
#include "core/ContractError.h"
#include "core/Detached.h"
#include "core/Envelope.h"

#include <algorithm>
#include <cerrno>

// Loading the credentials and starting the loopback listener, the lock state, suspension,
// revocation and wipe, the Shortcut allowlist, the window's desktop-control intents, and the
// defaults helper the parts share.

namespace corvane {

using namespace agent_detail;

namespace {

bool addressInUse(const LocalHTTPServerError& error) {
    return error.errorNumber() == EADDRINUSE;
}

} // namespace

void Agent::observeScreen(ScreenState state) {
    if (state == screenState_) {
        return;
    }
    if (state != ScreenState::Unlocked) {
        executor_.desktop().suspend();
    }
    publish(Field::ScreenState, screenState_, state);
    // A report taken in another lock state is not shown.
    publish(Field::DeviceState, deviceState_, std::optional<JSON>());
    session_.reportNow();
}

QCoro::Task<> Agent::startConnections(bool allowInteraction) {
    if (openingKeys_ || connectionReady_) {
        co_return;
    }
    QPointer<Agent> self(this);
    publish(Field::OpeningKeys, openingKeys_, true);
    setStatus("Opening secure connection…");

    std::optional<CredentialVault::Credentials> credentials;
    try {
        credentials = co_await credentials_.load(allowInteraction);
    } catch (...) {
        // A locked or failing store: local controls keep working without the listener.
        if (self) {
            failureCode(std::current_exception());
        }
    }
    if (!self) {
        co_return;
    }
    if (!credentials) {
        setStatus(keysLockedText);
        publish(Field::OpeningKeys, openingKeys_, false);
        co_return;
    }
    credentials_.setDeviceToken(credentials->device);
    const bool started = co_await startLocalServer(credentials->local);
    if (!self) {
        co_return;
    }
    if (!started) {
        setStatus(keysLockedText);
    } else {
        publish(Field::ConnectionReady, connectionReady_, true);
        if (pending_) {
            setStatus(RevocationState::warning);
        } else if (!token() && credentials->hasBootstrap) {
            cancelPairing();
        } else if (!suspended_) {
            // While asleep the status keeps saying so; waking connects.
            setStatus("Unpaired");
            connect();
        }
    }
    publish(Field::OpeningKeys, openingKeys_, false);
}

QCoro::Task<bool> Agent::startLocalServer(std::string localToken) {
    QPointer<Agent> self(this);
    const LocalHTTPHandler handler = localHandler();
    bool moved = false;
    for (int attempt = 1;; ++attempt) {
        try {
            auto server = std::make_unique<LocalHTTPServer>(localPort_, localToken, handler);
            server->start();
            localServer_ = std::move(server);
            break;
        } catch (const LocalHTTPServerError& error) {
            if (!addressInUse(error) || attempt == portAttempts) {
                report(std::string("the loopback listener cannot start: ") + error.what());
                co_return false;
            }
        }
        // Another program holds the port: move to another one and remember it, so the next launch
        // does not collide again. Scripts still using the old port would hand the token to
        // whoever holds that port now, so the token does not move with the listener.
        if (!moved) {
            std::exception_ptr failure;
            try {
                localToken = co_await credentials_.replaceLocalToken();
            } catch (...) {
                failure = std::current_exception();
            }
            if (!self) {
                co_return false;
            }
            if (failure) {
                failureCode(failure);
                co_return false;
            }
            moved = true;
        }
        publish(Field::LocalPort, localPort_, randomPort());
    }
    if (!moved) {
        co_return true;
    }
    report("the loopback port " +
           std::to_string(platform_.defaults.integerValue("local-port").value_or(0)) +
           " is held by another program: moved to " + std::to_string(localPort_) +
           " with a new local API token");
    UserDefaults* defaults = &platform_.defaults;
    const quint16 port = localPort_;
    std::exception_ptr failure;
    try {
        std::function<void()> write = [defaults, port] {
            defaults->setInteger("local-port", port);
        };
        co_await pipeline_.durably(std::move(write));
    } catch (...) {
        failure = std::current_exception();
    }
    if (self && failure) {
        // The listener runs either way; the status tells that the new port was not remembered.
        setStatus(failureText(failure));
    }
    co_return true;
}

void Agent::suspend() {
    executor_.desktop().suspend();
    suspended_ = true;
    publish(Field::Online, online_, false);
    publish(Field::Pairing, pairing_, false);
    abandonWorker();
    session_.close();
    setStatus("Offline — session inactive");
}

void Agent::resume() {
    suspended_ = false;
    if (!connectionReady_) {
        startDetached(startConnections(false), [agent = QPointer<Agent>(this)](std::exception_ptr) {
            // startConnections reports its own failures; only a fault can reach here.
            if (agent) {
                agent->publish(Field::OpeningKeys, agent->openingKeys_, false);
                agent->setStatus(keysLockedText);
            }
        });
    } else {
        connect();
    }
}

void Agent::refreshDeviceState() {
    if (readingState_) {
        return;
    }
    publish(Field::ReadingState, readingState_, true);
    startDetached(readDeviceState(QPointer<Agent>(this)),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->setLastCommand(agent->failureText(error));
                          agent->publish(Field::ReadingState, agent->readingState_, false);
                      }
                  });
}

QCoro::Task<> Agent::readDeviceState(QPointer<Agent> agent) {
    const LocalHTTPResponse answer =
        co_await agent->localCommand(requestBody("get_state", emptyObject()));
    if (!agent) {
        co_return;
    }
    if (answer.status == 200) {
        agent->publish(Field::DeviceState, agent->deviceState_, std::optional<JSON>(answer.body));
        agent->setLastCommand(CommandFeedback::success("get_state", answer.body));
    } else {
        agent->setLastCommand(CommandFeedback::error(answerCode(answer.body)));
    }
    agent->publish(Field::ScreenState, agent->screenState_, agent->platform_.sessionLock.state());
    agent->publish(Field::ReadingState, agent->readingState_, false);
}

void Agent::saveShortcut(const std::string& name) {
    if (!ShortcutAllowlist::isValidName(name)) {
        setLastCommand(shortcutRefusedText);
        return;
    }
    std::vector<std::string> updated = shortcuts_;
    if (std::find(updated.begin(), updated.end(), name) == updated.end()) {
        updated.push_back(name);
    }
    saveShortcuts(std::move(updated), true);
}

void Agent::removeShortcut(const std::string& name) {
    std::vector<std::string> updated = shortcuts_;
    std::erase(updated, name);
    saveShortcuts(std::move(updated), false);
}

void Agent::saveShortcuts(std::vector<std::string> updated, bool added) {
    // Shown at once, so that a second change builds on the first; saves run in order.
    publish(Field::Shortcuts, shortcuts_, updated);
    const QPointer<Agent> self(this);
    startDetached(saveShortcutList(self, std::move(updated), added),
                  [self](std::exception_ptr error) {
                      if (self) {
                          self->setLastCommand(self->failureText(error));
                      }
                  });
}

QCoro::Task<> Agent::saveShortcutList(QPointer<Agent> agent, std::vector<std::string> list,
                                      bool added) {
    UserDefaults* defaults = &agent->platform_.defaults;
    std::exception_ptr failure;
    try {
        std::function<void()> write = [defaults, list] {
            defaults->setStringList("shortcuts", list);
        };
        co_await agent->pipeline_.durably(std::move(write));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        co_return;
    }
    if (failure) {
        // What the next launch will see.
        agent->publish(Field::Shortcuts, agent->shortcuts_,
                       defaults->stringListValue("shortcuts").value_or(std::vector<std::string>{}));
        agent->setLastCommand(agent->failureText(failure));
    } else if (added) {
        agent->setLastCommand(shortcutAddedText);
    }
}

QCoro::Task<> Agent::wipe() {
    QPointer<Agent> self(this);
    const auto gone = [&self] {
        if (!self) {
            throw ContractError("session_changed");
        }
    };
    // In memory desktop control stops even when its consent cannot be removed from disk; that
    // failure still stops the wipe here.
    executor_.desktop().stop();
    co_await credentials_.wipe();
    gone();
    credentials_.setDeviceToken(std::nullopt);
    publish(Field::Online, online_, false);
    publish(Field::Pairing, pairing_, false);
    RevocationState* revocation = &pipeline_.revocation();
    std::function<void()> acknowledge = [revocation] {
        revocation->acknowledge();
    };
    co_await pipeline_.durably(std::move(acknowledge));
    gone();
    publish(Field::Pending, pending_, false);
    publish(Field::Code, code_, std::string());
    setStatus("Unpaired — revoked");
    UserDefaults* defaults = &platform_.defaults;
    std::function<void()> forget = [defaults] {
        defaults->remove("device-id");
    };
    co_await pipeline_.durably(std::move(forget));
}

void Agent::revoke() {
    startDetached(revocation(QPointer<Agent>(this), &platform_.clock),
                  [agent = QPointer<Agent>(this)](std::exception_ptr error) {
                      if (agent) {
                          agent->setStatus(agent->failureText(error));
                      }
                  });
}

QCoro::Task<> Agent::revocationWatchdog(QPointer<Agent> agent, TaskHandle handle, Clock* clock) {
    co_await clock->sleep(revocationWait);
    if (!handle.cancelled() && agent && agent->pending_) {
        agent->session_.close();
    }
}

QCoro::Task<> Agent::revocation(QPointer<Agent> agent, Clock* clock) {
    RevocationState* state = &agent->pipeline_.revocation();
    std::function<void()> begin = [state] {
        state->begin();
    };
    co_await agent->pipeline_.durably(std::move(begin));
    if (!agent) {
        co_return;
    }
    agent->publish(Field::Pending, agent->pending_, true);
    agent->setStatus(RevocationState::warning);

    const TaskHandle watchdog = TaskHandle::make();
    startDetached(revocationWatchdog(agent, watchdog, clock), {});
    if (agent->session_.hasSocket()) {
        try {
            co_await agent->send(envelope("revoke_self", JSON::Object{}, clock->now()));
        } catch (...) {
            // The local deletion below does not depend on the relay hearing about it.
        }
        if (!agent) {
            watchdog.cancel();
            co_return;
        }
    }
    std::exception_ptr failure;
    try {
        std::vector<std::string> accounts{KeychainStore::deviceToken};
        co_await agent->credentials_.remove(std::move(accounts));
    } catch (...) {
        failure = std::current_exception();
    }
    if (!agent) {
        watchdog.cancel();
        co_return;
    }
    if (failure) {
        agent->setStatus(agent->failureText(failure));
    } else {
        agent->credentials_.setDeviceToken(std::nullopt);
    }
    co_await clock->sleep(revocationWait);
    watchdog.cancel();
    if (agent && agent->pending_) {
        // No confirmation from the relay: give up on the session, the flag stays.
        agent->abandonWorker();
        agent->session_.close();
    }
}

void Agent::confirmDashboardRevocation() {
    startDetached(confirmedWipe(QPointer<Agent>(this),
                                platform_.prompts.alert(
                                    "Have you revoked this Mac in the web dashboard?",
                                    "Only confirm after the dashboard reports revocation. This "
                                    "clears the local warning; it cannot revoke the old server "
                                    "credential while offline.",
                                    "I revoked it in the dashboard", "Cancel")),
                  {});
}

QCoro::Task<> Agent::confirmedWipe(QPointer<Agent> agent,
                                   QCoro::Task<UserPrompts::Answer> question) {
    const UserPrompts::Answer answer = co_await std::move(question);
    if (!agent || answer != UserPrompts::Answer::First) {
        co_return;
    }
    std::exception_ptr failure;
    try {
        co_await agent->wipe();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure && agent) {
        agent->setStatus(agent->failureText(failure));
    }
}

QCoro::Task<> Agent::storeDefault(std::string key, std::string value) {
    UserDefaults* defaults = &platform_.defaults;
    std::function<void()> write = [defaults, key, value] {
        defaults->setString(key, value);
    };
    co_await pipeline_.durably(std::move(write));
}

void Agent::enableDesktop() {
    executor_.desktop().enableDesktop();
}

void Agent::stopDesktop() {
    executor_.desktop().stop();
}

void Agent::requestAccessibility() {
    executor_.desktop().requestAccessibility();
}

bool Agent::desktopWide() const {
    return executor_.desktop().desktopWide();
}

QCoro::Task<std::vector<AppInventory::Entry>> Agent::applications(bool refresh) {
    return executor_.inventory().applications(refresh);
}

} // namespace corvane
