// PHD2's event-server protocol: one JSON object a line (CR LF), on a TCP
// connection to localhost. A dither opens a connection, sends the "dither"
// request, skips the guiding events, and waits for the answer to its request
// (within 5 s) and then for SettleDone. Everything runs in the GLib main
// context (the toolkit's event loop): nothing blocks, nothing polls, and
// nothing the server sends is trusted: lines are bounded in length and in
// how many are read at a time.
#include <gio/gio.h>
#include <json-glib/json-glib.h>

#include <cstdio>
#include <string>

#include "guider/guider.h"

namespace {

constexpr int REQUEST_ID = 1;

class Phd2Guider;

// A member of the type asked for, or the fallback: whatever the server
// sends, nothing here fails on it.
JsonNode* Value(JsonObject* object, const char* name, GType type)
{
    JsonNode* node = json_object_get_member(object, name);
    return node && JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == type ? node : nullptr;
}

std::string Text(JsonObject* object, const char* name)
{
    JsonNode* node = Value(object, name, G_TYPE_STRING);
    return node ? json_node_get_string(node) : "";
}

int64_t Integer(JsonObject* object, const char* name, int64_t fallback)
{
    JsonNode* node = Value(object, name, G_TYPE_INT64);
    return node ? json_node_get_int(node) : fallback;
}

// What the client takes from the server: lines of at most this length, and
// at most this many of them per main-loop pass, read at a priority below
// the window's redraws, so that a server that floods or never ends a line
// costs neither memory nor a frozen window.
constexpr size_t MAX_LINE_BYTES = 64 * 1024;
constexpr int MAX_LINES_PER_PASS = 32;
constexpr size_t READ_BYTES = 4096;
constexpr int READ_PRIORITY = G_PRIORITY_LOW;
// PHD2 answers a request at once; one that says nothing is not guiding.
constexpr guint ANSWER_LIMIT_MS = 5000;

// One dither's connection. The pending asynchronous call (a read, or the
// pass that goes on with the lines already read) owns it: a cancelled
// attempt is deleted by that call's callback, when it comes.
struct Attempt {
    Phd2Guider* guider = nullptr;  // null once cancelled or finished
    GCancellable* cancellable = g_cancellable_new();
    GSocketConnection* connection = nullptr;
    std::string request;
    char chunk[READ_BYTES];
    std::string received;  // what has come and is not read yet
    bool accepted = false;  // PHD2 answered the request with a result
    bool answered = false;  // with a result or an error

    ~Attempt()
    {
        if (connection) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            g_object_unref(connection);
        }
        g_object_unref(cancellable);
    }

    // Settled, failed (with its reason), or neither yet; guiding events
    // are skipped.
    enum class Verdict { NONE, SETTLED, FAILED };
    Verdict Read(const std::string& line, std::string& reason)
    {
        JsonParser* parser = json_parser_new();
        Verdict verdict = Verdict::NONE;
        if (json_parser_load_from_data(parser, line.c_str(), static_cast<gssize>(line.size()), nullptr) &&
            JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
            JsonObject* message = json_node_get_object(json_parser_get_root(parser));
            if (Integer(message, "id", 0) == REQUEST_ID) {
                answered = true;
                accepted = json_object_has_member(message, "result") && !json_object_has_member(message, "error");
                if (!accepted) {
                    verdict = Verdict::FAILED;
                    JsonNode* error = json_object_get_member(message, "error");
                    reason = error && JSON_NODE_HOLDS_OBJECT(error) ? Text(json_node_get_object(error), "message") : "";
                    if (reason.empty())
                        reason = "the guider refused to dither";
                }
            } else if (accepted && Text(message, "Event") == "SettleDone") {
                const bool settled = Integer(message, "Status", -1) == 0;
                verdict = settled ? Verdict::SETTLED : Verdict::FAILED;
                reason = settled ? "" : Text(message, "Error");
                if (!settled && reason.empty())
                    reason = "settling failed";
            }
        }
        g_object_unref(parser);
        return verdict;
    }
};

class Phd2Guider : public Guider {
public:
    explicit Phd2Guider(uint16_t port)
        : port_(port)
    {
    }
    ~Phd2Guider() override { Cancel(); }

    void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) override
    {
        Cancel();
        done_ = std::move(done);
        attempt_ = new Attempt;
        attempt_->guider = this;
        char text[256];
        std::snprintf(text, sizeof text,
                      "{\"method\":\"dither\",\"params\":{\"amount\":%d,\"raOnly\":false,\"settle\":{\"pixels\":%.1f,"
                      "\"time\":%d,\"timeout\":%d}},\"id\":%d}\r\n",
                      request.pixels, request.settlePixels, request.settleSeconds, request.settleTimeoutSeconds,
                      REQUEST_ID);
        attempt_->request = text;
        giveUp_ = g_timeout_add(static_cast<guint>(request.giveUpMs), &Phd2Guider::OnGiveUp, this);
        noAnswer_ = g_timeout_add(ANSWER_LIMIT_MS, &Phd2Guider::OnNoAnswer, this);
        GSocketClient* client = g_socket_client_new();
        g_socket_client_connect_to_host_async(client, "localhost", port_, attempt_->cancellable,
                                              &Phd2Guider::OnConnected, attempt_);
        g_object_unref(client);
    }

    void Cancel() override
    {
        done_ = nullptr;
        Detach();
    }

    void Watch(std::function<void(const GuideEvent&)> onEvent) override { onEvent_ = std::move(onEvent); }
    void Unwatch() override { onEvent_ = nullptr; }

private:
    static void Remove(guint& source)
    {
        if (source)
            g_source_remove(source);
        source = 0;
    }

    void Detach()
    {
        Remove(giveUp_);
        Remove(noAnswer_);
        if (attempt_) {
            attempt_->guider = nullptr;
            g_cancellable_cancel(attempt_->cancellable);
            if (attempt_->connection)  // PHD2 sees the client go at once
                g_socket_close(g_socket_connection_get_socket(attempt_->connection), nullptr);
        }
        attempt_ = nullptr;
    }

    void Finish(bool settled, const std::string& reason)
    {
        auto done = std::move(done_);
        done_ = nullptr;
        Detach();
        if (done)
            done(DitherOutcome{settled, reason});
    }

    static gboolean OnGiveUp(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        guider->giveUp_ = 0;
        guider->Finish(false, "the guider did not finish settling");
        return G_SOURCE_REMOVE;
    }

    static gboolean OnNoAnswer(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        guider->noAnswer_ = 0;
        guider->Finish(false, "no answer from the guider");
        return G_SOURCE_REMOVE;
    }

    // Ends the attempt from its own callback.
    static void End(Attempt* attempt, bool settled, const std::string& reason)
    {
        if (attempt->guider)
            attempt->guider->Finish(settled, reason);
        delete attempt;
    }

    static void OnConnected(GObject* client, GAsyncResult* result, gpointer data)
    {
        auto* attempt = static_cast<Attempt*>(data);
        attempt->connection = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, nullptr);
        if (!attempt->guider || !attempt->connection)  // cancelled, or PHD2 is not there
            return End(attempt, false, "no guider is listening");
        // A few dozen bytes to localhost: the socket takes them at once.
        GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(attempt->connection));
        if (!g_output_stream_write_all(out, attempt->request.data(), attempt->request.size(), nullptr, nullptr,
                                       nullptr))
            return End(attempt, false, "the request did not reach the guider");
        ReadMore(attempt);
    }

    static void ReadMore(Attempt* attempt)
    {
        g_input_stream_read_async(g_io_stream_get_input_stream(G_IO_STREAM(attempt->connection)), attempt->chunk,
                                  sizeof attempt->chunk, READ_PRIORITY, attempt->cancellable, &Phd2Guider::OnRead,
                                  attempt);
    }

    static void OnRead(GObject* stream, GAsyncResult* result, gpointer data)
    {
        auto* attempt = static_cast<Attempt*>(data);
        const gssize count = g_input_stream_read_finish(G_INPUT_STREAM(stream), result, nullptr);
        if (!attempt->guider || count <= 0)  // cancelled, or the connection dropped
            return End(attempt, false, "the guider closed the connection");
        attempt->received.append(attempt->chunk, static_cast<size_t>(count));
        ReadLines(attempt);
    }

    // Up to MAX_LINES_PER_PASS whole lines; the rest in a later pass.
    static void ReadLines(Attempt* attempt)
    {
        size_t start = 0;
        for (int lines = 0; lines < MAX_LINES_PER_PASS; ++lines) {
            const size_t end = attempt->received.find('\n', start);
            if (end == std::string::npos)
                break;
            if (end - start > MAX_LINE_BYTES)
                return End(attempt, false, "guider sent an over-long line");
            std::string reason;
            const Attempt::Verdict verdict = attempt->Read(attempt->received.substr(start, end - start), reason);
            start = end + 1;
            if (attempt->answered)
                Remove(attempt->guider->noAnswer_);
            if (verdict != Attempt::Verdict::NONE)
                return End(attempt, verdict == Attempt::Verdict::SETTLED, reason);
        }
        attempt->received.erase(0, start);
        if (attempt->received.find('\n') != std::string::npos) {
            g_idle_add_full(READ_PRIORITY, &Phd2Guider::OnMoreLines, attempt, nullptr);
            return;
        }
        if (attempt->received.size() > MAX_LINE_BYTES)
            return End(attempt, false, "guider sent an over-long line");
        ReadMore(attempt);
    }

    static gboolean OnMoreLines(gpointer data)
    {
        auto* attempt = static_cast<Attempt*>(data);
        if (!attempt->guider)
            End(attempt, false, "");
        else
            ReadLines(attempt);
        return G_SOURCE_REMOVE;
    }

    uint16_t port_;
    std::function<void(const GuideEvent&)> onEvent_;
    std::function<void(const DitherOutcome&)> done_;
    Attempt* attempt_ = nullptr;
    guint giveUp_ = 0;
    guint noAnswer_ = 0;
};

}  // namespace

std::unique_ptr<Guider> MakePhd2Guider(uint16_t port) { return std::make_unique<Phd2Guider>(port); }
