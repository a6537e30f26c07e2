#include "api_host.hpp"

#include <QCoreApplication>
#include <QThreadPool>

#include "power_model_work.hpp"
#include "varek/control_api_router.hpp"
#include "varek/scpi_instrument.hpp"
#include "varek/scpi_server.hpp"
#include "varek/serial_session.hpp"

namespace varek {

struct ApiHost::ScpiSlot {
    std::unique_ptr<SCPIServer> server;
};

struct ApiHost::ScpiState {
    std::uint64_t generation = 0;  // which start the news below belongs to
    bool running = false;
    std::uint16_t port = 0;
};

namespace {

// Runs `work` on the owner's thread if the owner still exists then, else `orphaned`.
// The hop goes through the application object rather than the owner, so that it
// still runs (and can answer) when the owner is gone by then.
void hop(const QPointer<QObject>& owner, std::function<void()> work, std::function<void()> orphaned = {}) {
    auto run = [owner, work = std::move(work), orphaned] {
        if (owner) {
            work();
        } else if (orphaned) {
            orphaned();
        }
    };
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || !QMetaObject::invokeMethod(app, std::move(run), Qt::QueuedConnection)) {
        if (orphaned) orphaned();
    }
}

std::string describe(const std::exception& e) {
    if (const auto* error = dynamic_cast<const VarekError*>(&e)) return error->description();
    return e.what();
}

}  // namespace

ApiHost::ApiHost(QObject& owner, QThreadPool& sessionThread, Hooks hooks)
    : owner_(&owner),
      sessionThread_(sessionThread),
      hooks_(std::move(hooks)),
      scpi_(std::make_shared<ScpiSlot>()),
      scpiState_(std::make_shared<ScpiState>()) {}

ApiHost::~ApiHost() {
    control_.reset();
    stopSCPI();
}

std::optional<std::string> ApiHost::startControlServer(std::uint16_t port,
                                                       const std::filesystem::path& supportDirectory) {
    const auto handler = [owner = owner_, request = hooks_.request](const ControlHTTPRequest& incoming,
                                                                    ControlResponder responder) {
        hop(owner, [request, incoming, responder] { request(incoming, responder); },
            [responder] { responder.reply(ControlApiRouter::errorReply(503, "application_unavailable")); });
    };
    try {
        control_ = std::make_unique<ControlServer>(port, handler, supportDirectory);
        control_->start([owner = owner_, apiEvent = hooks_.apiEvent](const ListenerEvent& event) {
            hop(owner, [apiEvent, event] { apiEvent(event); });
        });
    } catch (const std::exception& e) {
        return describe(e);
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> ApiHost::tokenPath() const {
    if (!control_) return std::nullopt;
    return control_->tokenPath();
}

std::string ApiHost::token() const { return control_ ? control_->token() : std::string(); }

std::uint16_t ApiHost::httpPort() const { return control_ ? control_->boundPort() : 0; }

void ApiHost::startSCPI(std::uint16_t port, std::shared_ptr<SerialSession> session, const DeviceIdentity& identity,
                        std::shared_ptr<const std::atomic<std::uint32_t>> ceilings) {
    const std::uint64_t generation = ++scpiState_->generation;
    scpiState_->running = true;
    scpiState_->port = 0;
    // News from the io thread counts only while this start is the current one.
    const auto events = [owner = owner_, state = scpiState_, failed = hooks_.scpiFailed,
                         generation](const ListenerEvent& event) {
        hop(owner, [state, failed, generation, event] {
            if (state->generation != generation) return;
            if (event.kind == ListenerEvent::Kind::listening) {
                state->port = event.port;
            } else {
                failed(event.reason);
            }
        });
    };
    // Device lines run on the session thread, between the model's own session calls.
    const SCPIServer::Dispatch dispatch = [pool = &sessionThread_](std::function<void(bool)> job) {
        pool->start([job = std::move(job)] { job(true); });
        return true;
    };
    auto instrument = [session = std::move(session), identity, ceilings = std::move(ceilings)] {
        const std::uint32_t packed = ceilings->load();
        const SafetyCeilings current{static_cast<std::uint16_t>(packed >> 16), static_cast<std::uint16_t>(packed & 0xffff)};
        return std::make_unique<SCPIInstrument>(*session, identity, current);
    };
    auto work = [slot = scpi_, port, instrument = std::move(instrument), dispatch, events] {
        try {
            slot->server = std::make_unique<SCPIServer>(port, instrument, dispatch);
            slot->server->start(events);
        } catch (const std::exception& e) {
            slot->server.reset();
            return std::optional<std::string>(describe(e));
        }
        return std::optional<std::string>();
    };
    detail::runThen(sessionThread_, owner_.data(), std::move(work),
                    [state = scpiState_, failed = hooks_.scpiFailed, generation](std::optional<std::string> error) {
                        if (error && state->generation == generation) failed(*error);
                    });
}

void ApiHost::stopSCPI() {
    if (!scpiState_->running) return;
    ++scpiState_->generation;
    scpiState_->running = false;
    scpiState_->port = 0;
    // Destroying the server joins its io thread and waits for a line inside a session
    // call: both belong on the session thread, and before the port closes.
    sessionThread_.start([slot = scpi_] {
        if (!slot->server) return;
        slot->server->stop();
        slot->server.reset();
    });
}

bool ApiHost::hasSCPIServer() const { return scpiState_->running; }

std::uint16_t ApiHost::scpiPort() const { return scpiState_->port; }

}  // namespace varek
