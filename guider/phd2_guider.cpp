// PHD2's event-server protocol: one JSON object a line (CR LF), on a TCP
// connection. A dither opens a connection, sends the "dither" request, skips
// the guiding events, and waits for the answer to its request (within 5 s)
// and then for SettleDone. A watch keeps a connection of its own open and
// hands on every event. Everything runs in the GLib context of the thread
// that uses it (where the run lives): nothing blocks, nothing polls, and
// nothing the server sends is trusted: lines are bounded in length and in
// how many are read at a time.
#include <gio/gio.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <functional>
#include <string>

#include "guider/guider.h"

namespace {

// The first request's id; each dither on a watched connection takes the
// next, so that a late answer to an earlier one is never taken for its own.
constexpr int FIRST_REQUEST_ID = 1;

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

// A call after `ms` (at once with 0) in the calling thread's main context:
// the run's own thread, or the program's. Removed with RemoveSource.
GSource* AddSource(guint ms, GSourceFunc call, gpointer data, int priority = G_PRIORITY_DEFAULT)
{
    GSource* source = ms == 0 ? g_idle_source_new() : g_timeout_source_new(ms);
    g_source_set_priority(source, priority);
    g_source_set_callback(source, call, data, nullptr);
    g_source_attach(source, g_main_context_get_thread_default());
    return source;
}

void RemoveSource(GSource*& source)
{
    if (source) {
        g_source_destroy(source);
        g_source_unref(source);
    }
    source = nullptr;
}

// One connection to the event server: a dither's, or the watch's. The
// pending asynchronous call (a read, or the pass that goes on with the lines
// already read) owns it: a link that is let go is deleted by that call's
// callback, when it comes.
struct Link {
    // What the link is for. `line` returns false once it has let the link
    // go; `end` is told why the link ended on its own.
    std::function<bool(const std::string& line)> line;
    std::function<void(const std::string& reason)> end;
    bool live = true;  // false once let go
    GCancellable* cancellable = g_cancellable_new();
    GSocketConnection* connection = nullptr;
    std::string request;  // sent on connecting, when not empty
    char chunk[READ_BYTES];
    std::string received;  // what has come and is not read yet

    ~Link()
    {
        if (connection) {
            g_io_stream_close(G_IO_STREAM(connection), nullptr, nullptr);
            g_object_unref(connection);
        }
        g_object_unref(cancellable);
    }

    // From its owner: nothing more is reported, and the server sees the
    // client go at once.
    void LetGo()
    {
        live = false;
        g_cancellable_cancel(cancellable);
        if (connection)
            g_socket_close(g_socket_connection_get_socket(connection), nullptr);
    }

    // A request on this link: at once when connected, else on connecting.
    // False when it could not be written.
    bool Send(const std::string& text)
    {
        if (!connection) {
            request += text;
            return true;
        }
        GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(connection));
        return g_output_stream_write_all(out, text.data(), text.size(), nullptr, nullptr, nullptr);
    }

    static Link* Open(const std::string& host, uint16_t port, std::string request)
    {
        auto* link = new Link;
        link->request = std::move(request);
        GSocketClient* client = g_socket_client_new();
        g_socket_client_connect_to_host_async(client, host.c_str(), port, link->cancellable, &Link::OnConnected, link);
        g_object_unref(client);
        return link;
    }

private:
    // Ends the link from its own callback.
    static void End(Link* link, const std::string& reason)
    {
        if (link->live && link->end)
            link->end(reason);
        delete link;
    }

    static void OnConnected(GObject* client, GAsyncResult* result, gpointer data)
    {
        auto* link = static_cast<Link*>(data);
        link->connection = g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(client), result, nullptr);
        if (!link->live || !link->connection)  // let go, or PHD2 is not there
            return End(link, "no guider is listening");
        // A few dozen bytes to the server: the socket takes them at once.
        GOutputStream* out = g_io_stream_get_output_stream(G_IO_STREAM(link->connection));
        if (!link->request.empty() &&
            !g_output_stream_write_all(out, link->request.data(), link->request.size(), nullptr, nullptr, nullptr))
            return End(link, "the request did not reach the guider");
        ReadMore(link);
    }

    static void ReadMore(Link* link)
    {
        g_input_stream_read_async(g_io_stream_get_input_stream(G_IO_STREAM(link->connection)), link->chunk,
                                  sizeof link->chunk, READ_PRIORITY, link->cancellable, &Link::OnRead, link);
    }

    static void OnRead(GObject* stream, GAsyncResult* result, gpointer data)
    {
        auto* link = static_cast<Link*>(data);
        const gssize count = g_input_stream_read_finish(G_INPUT_STREAM(stream), result, nullptr);
        if (!link->live || count <= 0)  // let go, or the connection dropped
            return End(link, "the guider closed the connection");
        link->received.append(link->chunk, static_cast<size_t>(count));
        ReadLines(link);
    }

    // Up to MAX_LINES_PER_PASS whole lines; the rest in a later pass.
    static void ReadLines(Link* link)
    {
        size_t start = 0;
        for (int lines = 0; lines < MAX_LINES_PER_PASS; ++lines) {
            const size_t end = link->received.find('\n', start);
            if (end == std::string::npos)
                break;
            if (end - start > MAX_LINE_BYTES)
                return End(link, "guider sent an over-long line");
            const std::string line = link->received.substr(start, end - start);
            start = end + 1;
            if (!link->live || !link->line(line))
                return End(link, "");
        }
        link->received.erase(0, start);
        if (link->received.find('\n') != std::string::npos) {
            g_source_unref(AddSource(0, &Link::OnMoreLines, link, READ_PRIORITY));
            return;
        }
        if (link->received.size() > MAX_LINE_BYTES)
            return End(link, "guider sent an over-long line");
        ReadMore(link);
    }

    static gboolean OnMoreLines(gpointer data)
    {
        auto* link = static_cast<Link*>(data);
        if (!link->live)
            End(link, "");
        else
            ReadLines(link);
        return G_SOURCE_REMOVE;
    }
};

// A line as a JSON object, or null: whatever the server sends, nothing here
// fails on it.
struct Message {
    explicit Message(const std::string& line)
        : parser(json_parser_new())
    {
        if (json_parser_load_from_data(parser, line.c_str(), static_cast<gssize>(line.size()), nullptr) &&
            JSON_NODE_HOLDS_OBJECT(json_parser_get_root(parser)))
            object = json_node_get_object(json_parser_get_root(parser));
    }
    ~Message() { g_object_unref(parser); }
    Message(const Message&) = delete;
    Message& operator=(const Message&) = delete;

    JsonParser* parser;
    JsonObject* object = nullptr;
};

double Number(JsonObject* object, const char* name)
{
    JsonNode* node = json_object_get_member(object, name);
    if (!node || !JSON_NODE_HOLDS_VALUE(node))
        return 0;
    const GType type = json_node_get_value_type(node);
    return type == G_TYPE_DOUBLE ? json_node_get_double(node)
        : type == G_TYPE_INT64   ? static_cast<double>(json_node_get_int(node))
                                 : 0;
}

// {"method":"dither","params":{"amount":3,"raOnly":false,"settle":{"pixels":
// 1.5,"time":10,"timeout":70}},"id":2} and CR LF: params as an object, as
// PHD2 wants them.
std::string DitherRequestLine(const DitherRequest& request, int id)
{
    JsonBuilder* builder = json_builder_new();
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "method");
    json_builder_add_string_value(builder, "dither");
    json_builder_set_member_name(builder, "params");
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "amount");
    json_builder_add_int_value(builder, request.pixels);
    json_builder_set_member_name(builder, "raOnly");
    json_builder_add_boolean_value(builder, FALSE);
    json_builder_set_member_name(builder, "settle");
    json_builder_begin_object(builder);
    json_builder_set_member_name(builder, "pixels");
    json_builder_add_double_value(builder, request.settlePixels);
    json_builder_set_member_name(builder, "time");
    json_builder_add_int_value(builder, request.settleSeconds);
    json_builder_set_member_name(builder, "timeout");
    json_builder_add_int_value(builder, request.settleTimeoutSeconds);
    json_builder_end_object(builder);
    json_builder_end_object(builder);
    json_builder_set_member_name(builder, "id");
    json_builder_add_int_value(builder, id);
    json_builder_end_object(builder);
    JsonNode* root = json_builder_get_root(builder);
    gchar* text = json_to_string(root, FALSE);
    std::string line = std::string(text) + "\r\n";
    g_free(text);
    json_node_unref(root);
    g_object_unref(builder);
    return line;
}

class Phd2Guider : public Guider {
public:
    Phd2Guider(std::string host, uint16_t port, guint retryMs)
        : host_(std::move(host))
        , port_(port)
        , retryMs_(retryMs)
    {
    }
    ~Phd2Guider() override
    {
        Cancel();
        Unwatch();
    }

    // On the watched connection while there is one (a script run's), else
    // on a connection of its own.
    void Dither(const DitherRequest& request, std::function<void(const DitherOutcome&)> done) override
    {
        Cancel();
        done_ = std::move(done);
        const int id = watch_ ? ++requestId_ : FIRST_REQUEST_ID;
        const std::string text = DitherRequestLine(request, id);
        accepted_ = false;
        ditherId_ = id;
        settleTimeoutUs_ = static_cast<gint64>(request.settleTimeoutSeconds) * G_USEC_PER_SEC;
        // PHD2 goes on settling a dither that was given up on (an Abort),
        // and refuses another until that settle is over: this one waits for
        // its SettleDone, or for its timeout.
        const gint64 settlingUs = priorSettleEndUs_ - g_get_monotonic_time();
        const guint settlingMs = settlingUs > 0 ? static_cast<guint>(settlingUs / 1000 + 1) : 0;
        giveUp_ = AddSource(static_cast<guint>(request.giveUpMs) + settlingMs, &Phd2Guider::OnGiveUp, this);
        held_ = text;
        ditherOnWatch_ = watch_ != nullptr;
        if (!watch_) {
            dither_ = Link::Open(host_, port_, "");
            dither_->line = [this](const std::string& line) { return DitherLine(line); };
            dither_->end = [this](const std::string& reason) {
                dither_ = nullptr;
                Finish(false, reason);
            };
        }
        if (settlingMs > 0)
            priorSettle_ = AddSource(settlingMs, &Phd2Guider::OnPriorSettleOver, this);
        else
            SendHeld();
    }

    void Cancel() override
    {
        if (done_ && accepted_)  // PHD2 is settling it
            priorSettleEndUs_ = std::max(priorSettleEndUs_, acceptedAtUs_ + settleTimeoutUs_);
        done_ = nullptr;
        Detach();
    }

    // One connection, kept open while watched; a dropped one is reported
    // once and looked for again every few seconds until Unwatch.
    void Watch(std::function<void(const GuideEvent&)> onEvent) override
    {
        onEvent_ = std::move(onEvent);
        if (!watch_)
            OpenWatch();
    }

    void Unwatch() override
    {
        onEvent_ = nullptr;
        RemoveSource(retry_);
        if (watch_)
            watch_->LetGo();
        watch_ = nullptr;
    }

private:
    void OpenWatch()
    {
        RemoveSource(retry_);
        Link* link = watch_ = Link::Open(host_, port_, "");
        link->line = [this](const std::string& line) {
            if (ditherOnWatch_)
                DitherLine(line);
            WatchLine(line);
            return true;
        };
        link->end = [this, link](const std::string& reason) {
            watch_ = nullptr;
            if (ditherOnWatch_)
                Finish(false, reason);
            if (link->connection && onEvent_) {
                GuideEvent lost;
                lost.kind = GuideEventKind::CONNECTION_LOST;
                onEvent_(lost);
            }
            // Below the exposure's timers.
            if (onEvent_ && !watch_)  // still watched, and not watched anew
                retry_ = AddSource(retryMs_, &Phd2Guider::OnRetry, this, READ_PRIORITY);
        };
    }

    static gboolean OnRetry(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        RemoveSource(guider->retry_);
        guider->OpenWatch();
        return G_SOURCE_REMOVE;
    }

    // The request, on the dither's link.
    void SendHeld()
    {
        RemoveSource(priorSettle_);
        const std::string text = std::move(held_);
        held_.clear();
        noAnswer_ = AddSource(ANSWER_LIMIT_MS, &Phd2Guider::OnNoAnswer, this);
        if (!(ditherOnWatch_ ? watch_ : dither_)->Send(text))
            Finish(false, "the request did not reach the guider");
    }

    static gboolean OnPriorSettleOver(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        RemoveSource(guider->priorSettle_);
        guider->priorSettleEndUs_ = 0;
        guider->SendHeld();
        return G_SOURCE_REMOVE;
    }

    // A request given up on (timed out, cancelled) is never sent: one still
    // waiting for the watch's connection would reach the guider later, in
    // the middle of an exposure.
    void Detach()
    {
        RemoveSource(giveUp_);
        RemoveSource(noAnswer_);
        RemoveSource(priorSettle_);
        held_.clear();
        if (ditherOnWatch_ && watch_)
            watch_->request.clear();
        ditherOnWatch_ = false;
        if (dither_)
            dither_->LetGo();
        dither_ = nullptr;
    }

    void Finish(bool settled, const std::string& reason)
    {
        auto done = std::move(done_);
        done_ = nullptr;
        Detach();
        if (done)
            done(DitherOutcome{settled, reason});
    }

    // The answer to the request, then SettleDone; guiding events are
    // skipped. False once the dither has ended.
    bool DitherLine(const std::string& line)
    {
        const Message message(line);
        if (!message.object)
            return true;
        const bool settleDone = GuideEventNamed(Text(message.object, "Event")) == GuideEventKind::SETTLE_DONE;
        if (!held_.empty()) {  // the request waits for an earlier settle's end
            if (settleDone) {
                priorSettleEndUs_ = 0;
                SendHeld();
            }
            return true;
        }
        if (Integer(message.object, "id", 0) == ditherId_) {
            RemoveSource(noAnswer_);
            accepted_ =
                json_object_has_member(message.object, "result") && !json_object_has_member(message.object, "error");
            acceptedAtUs_ = g_get_monotonic_time();
            if (accepted_)
                return true;
            JsonNode* error = json_object_get_member(message.object, "error");
            std::string reason =
                error && JSON_NODE_HOLDS_OBJECT(error) ? Text(json_node_get_object(error), "message") : "";
            Finish(false, reason.empty() ? "the guider refused to dither" : reason);
            return false;
        }
        if (!accepted_ || !settleDone)
            return true;
        const bool settled = Integer(message.object, "Status", -1) == 0;
        std::string reason = settled ? "" : Text(message.object, "Error");
        Finish(settled, !settled && reason.empty() ? "settling failed" : reason);
        return false;
    }

    // Every event, with what a run reads of it; anything else is skipped.
    void WatchLine(const std::string& line)
    {
        const Message message(line);
        if (!message.object || !onEvent_)
            return;
        const std::string name = Text(message.object, "Event");
        if (name.empty())
            return;
        GuideEvent event;
        event.kind = GuideEventNamed(name);
        if (event.kind == GuideEventKind::SETTLE_DONE)
            priorSettleEndUs_ = 0;
        if (event.kind == GuideEventKind::APP_STATE)
            event.state = GuiderStateNamed(Text(message.object, "State"));
        event.raDistanceRaw = Number(message.object, "RADistanceRaw");
        event.decDistanceRaw = Number(message.object, "DECDistanceRaw");
        onEvent_(event);
    }

    static gboolean OnGiveUp(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        RemoveSource(guider->giveUp_);
        guider->Finish(false, "the guider did not finish settling");
        return G_SOURCE_REMOVE;
    }

    static gboolean OnNoAnswer(gpointer self)
    {
        auto* guider = static_cast<Phd2Guider*>(self);
        RemoveSource(guider->noAnswer_);
        guider->Finish(false, "no answer from the guider");
        return G_SOURCE_REMOVE;
    }

    std::string host_;
    uint16_t port_;
    std::function<void(const GuideEvent&)> onEvent_;
    std::function<void(const DitherOutcome&)> done_;
    Link* dither_ = nullptr;
    Link* watch_ = nullptr;
    bool accepted_ = false;  // PHD2 answered the dither request with a result
    bool ditherOnWatch_ = false;  // the dither in progress went on the watched connection
    int ditherId_ = FIRST_REQUEST_ID;
    int requestId_ = FIRST_REQUEST_ID;
    GSource* giveUp_ = nullptr;
    GSource* noAnswer_ = nullptr;
    guint retryMs_;
    GSource* retry_ = nullptr;  // the watch is looked for again
    std::string held_;  // the dither request not sent yet
    gint64 settleTimeoutUs_ = 0;  // the dither's, as asked of PHD2
    gint64 acceptedAtUs_ = 0;
    gint64 priorSettleEndUs_ = 0;  // a dither given up on may be settling until then
    GSource* priorSettle_ = nullptr;  // the held request goes out then
};

}  // namespace

std::unique_ptr<Guider> MakePhd2Guider(const std::string& host, uint16_t port, unsigned retryMs)
{
    return std::make_unique<Phd2Guider>(host, port, retryMs);
}
