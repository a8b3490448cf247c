// PHD2's event-server protocol: one JSON object a line (CR LF), on a TCP
// connection to localhost. A dither opens a connection, sends the "dither"
// request, skips the guiding events, and waits for the answer to its request
// and then for SettleDone. Everything runs in the GLib main context (the
// toolkit's event loop): nothing blocks, nothing polls.
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

// One dither's connection. The pending asynchronous call owns it: a
// cancelled attempt is deleted by the call's callback, when it comes.
struct Attempt {
    Phd2Guider* guider = nullptr;  // null once cancelled or finished
    GCancellable* cancellable = g_cancellable_new();
    GSocketConnection* connection = nullptr;
    GDataInputStream* lines = nullptr;
    std::string request;
    bool accepted = false;  // PHD2 answered the request with a result

    ~Attempt()
    {
        if (lines)
            g_object_unref(lines);
        if (connection) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            g_object_unref(connection);
        }
        g_object_unref(cancellable);
    }

    // 1 settled, -1 failed, 0 not yet; guiding events are skipped.
    int Read(const char* line)
    {
        JsonParser* parser = json_parser_new();
        int verdict = 0;
        if (json_parser_load_from_data(parser, line, -1, nullptr) &&
            JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser))) {
            JsonObject* message = json_node_get_object(json_parser_get_root(parser));
            if (Integer(message, "id", 0) == REQUEST_ID) {
                accepted = json_object_has_member(message, "result") && !json_object_has_member(message, "error");
                verdict = accepted ? 0 : -1;
            } else if (accepted && Text(message, "Event") == "SettleDone") {
                verdict = Integer(message, "Status", -1) == 0 ? 1 : -1;
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

    void Dither(const DitherRequest& request, std::function<void(bool)> done) override
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

private:
    void Detach()
    {
        if (giveUp_)
            g_source_remove(giveUp_);
        giveUp_ = 0;
        if (attempt_) {
            attempt_->guider = nullptr;
            g_cancellable_cancel(attempt_->cancellable);
            if (attempt_->connection)  // PHD2 sees the client go at once
                g_socket_close(g_socket_connection_get_socket(attempt_->connection), nullptr);
        }
        attempt_ = nullptr;
    }

    void Finish(bool settled)
    {
        auto done = std::move(done_);
        done_ = nullptr;
        Detach();
        if (done)
            done(settled);
    }

    static gboolean OnGiveUp(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        guider->giveUp_ = 0;
        guider->Finish(false);
        return G_SOURCE_REMOVE;
    }

    // Ends the attempt from its own callback.
    static void End(Attempt* attempt, bool settled)
    {
        if (attempt->guider)
            attempt->guider->Finish(settled);
        delete attempt;
    }

    static void OnConnected(GObject* client, GAsyncResult* result, gpointer data)
    {
        auto* attempt = static_cast<Attempt*>(data);
        attempt->connection = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, nullptr);
        if (!attempt->guider || !attempt->connection)  // cancelled, or PHD2 is not there
            return End(attempt, false);
        // A few dozen bytes to localhost: the socket takes them at once.
        GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(attempt->connection));
        if (!g_output_stream_write_all(out, attempt->request.data(), attempt->request.size(), nullptr, nullptr,
                                       nullptr))
            return End(attempt, false);
        attempt->lines = g_data_input_stream_new(g_io_stream_get_input_stream(G_IO_STREAM(attempt->connection)));
        g_data_input_stream_set_newline_type(attempt->lines, G_DATA_STREAM_NEWLINE_TYPE_ANY);
        ReadLine(attempt);
    }

    static void ReadLine(Attempt* attempt)
    {
        g_data_input_stream_read_line_async(attempt->lines, G_PRIORITY_DEFAULT, attempt->cancellable,
                                            &Phd2Guider::OnLine, attempt);
    }

    static void OnLine(GObject* stream, GAsyncResult* result, gpointer data)
    {
        auto* attempt = static_cast<Attempt*>(data);
        char* line = g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(stream), result, nullptr, nullptr);
        const int verdict = !attempt->guider || !line ? -1 : attempt->Read(line);  // no line: the connection dropped
        g_free(line);
        if (verdict != 0)
            return End(attempt, verdict > 0);
        ReadLine(attempt);
    }

    uint16_t port_;
    std::function<void(bool)> done_;
    Attempt* attempt_ = nullptr;
    guint giveUp_ = 0;
};

std::unique_ptr<Guider> installed;

}  // namespace

std::unique_ptr<Guider> MakePhd2Guider(uint16_t port) { return std::make_unique<Phd2Guider>(port); }

Guider& RunnerGuider()
{
    if (!installed)
        installed = MakePhd2Guider();
    return *installed;
}

void InstallGuider(std::unique_ptr<Guider> guider) { installed = std::move(guider); }
