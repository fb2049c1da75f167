#include "host/ui/panel_state.h"

#include <cstdio>

#include "common/text.h"

namespace sorvane {

const char* panel_view_name(PanelView view) {
    switch (view) {
        case PanelView::tray: return "tray";
        case PanelView::pairqr: return "pairqr";
        case PanelView::settings: return "settings";
        case PanelView::licenses: return "licenses";
        case PanelView::report: return "report";
    }
    return "tray";
}

std::string panel_json_text(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            ++i;
            if (c == '\n') {
                out += "\\n";
            } else if (c == '\r') {
                // dropped
            } else if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
            continue;
        }
        const size_t n = utf8_sequence_length(text.substr(i));
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text.data() + i, n);
            i += n;
        }
    }
    return out;
}

namespace {

// Appends members in order, with the commas between them.
class JsonObject {
public:
    explicit JsonObject(std::string& out) : out_(out) { out_ += '{'; }
    void text(const char* key, std::string_view value) {
        name(key);
        out_ += '"';
        out_ += panel_json_text(value);
        out_ += '"';
    }
    void boolean(const char* key, bool value) {
        name(key);
        out_ += value ? "true" : "false";
    }
    void number(const char* key, int64_t value) {
        name(key);
        out_ += std::to_string(value);
    }
    void null(const char* key) {
        name(key);
        out_ += "null";
    }
    // Starts a member whose value the caller writes.
    void name(const char* key) {
        if (!first_) out_ += ',';
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }
    void close() { out_ += '}'; }

private:
    std::string& out_;
    bool first_ = true;
};

}  // namespace

std::string panel_state_json(const PanelState& s) {
    std::string out;
    out.reserve(512 + s.paired.size() * 160 + (s.pairing ? s.pairing->qr_path.size() + 320 : 0));
    JsonObject root(out);
    root.text("type", "state");

    if (s.connected) {
        root.name("connected");
        JsonObject c(out);
        c.text("client_id", s.connected->client_id);
        c.text("name", s.connected->name);
        c.number("width", s.connected->width);
        c.number("height", s.connected->height);
        c.number("fps", s.connected->fps);
        c.boolean("usb", s.connected->usb);
        c.close();
    } else {
        root.null("connected");
    }

    root.name("paired");
    out += '[';
    for (size_t i = 0; i < s.paired.size(); ++i) {
        if (i != 0) out += ',';
        const PanelPairedDevice& d = s.paired[i];
        JsonObject p(out);
        p.text("client_id", d.client_id);
        p.text("name", d.name);
        p.boolean("connected", d.connected);
        p.text("last_seen_at", d.last_seen_at);
        p.text("kind", d.kind);
        p.close();
    }
    out += ']';

    if (s.pairing) {
        root.name("pairing");
        JsonObject p(out);
        p.text("uri", s.pairing->uri);
        p.number("qr_size", s.pairing->qr_size);
        p.text("qr_path", s.pairing->qr_path);
        p.number("remaining_s", s.pairing->remaining_s);
        p.number("total_s", s.pairing->total_s);
        p.boolean("big", s.pairing->big);
        p.text("verify_code", s.pairing->verify_code);
        p.close();
    } else {
        root.null("pairing");
    }

    root.text("lang", s.turkish ? "tr" : "en");

    {
        root.name("settings");
        JsonObject st(out);
        st.text("lang_override", s.settings.lang_override);
        st.text("theme_override", s.settings.theme_override);
        st.boolean("autostart", s.settings.autostart);
        st.boolean("update_check", s.settings.update_check);
        st.text("vibrance", s.settings.vibrance);
        st.text("host_name", s.settings.host_name);
        st.text("ip", s.settings.ip);
        st.text("version", s.settings.version);
        st.close();
    }

    if (s.encoder) {
        root.name("encoder");
        JsonObject e(out);
        e.text("kind", s.encoder->kind);
        e.text("name", s.encoder->name);
        e.text("adapter", s.encoder->adapter);
        e.close();
    }
    if (s.net) {
        root.name("net");
        JsonObject n(out);
        n.boolean("warn", true);
        n.boolean("wifi", s.net->wifi);
        if (!s.net->fixed_blocked_at.empty()) {
            n.boolean("fixed", true);
            n.text("blocked_at", s.net->fixed_blocked_at);
        }
        n.close();
    }
    if (s.update) {
        root.name("update");
        JsonObject u(out);
        u.text("version", *s.update);
        u.close();
    }
    if (s.data) {
        root.name("data");
        JsonObject d(out);
        d.boolean("pairings_unreadable", s.data->pairings_unreadable);
        d.boolean("tls_renewed", s.data->tls_renewed);
        if (s.data->pairings_unsaved) d.boolean("pairings_unsaved", true);
        d.close();
    }
    if (s.driver_problem) {
        root.name("driver");
        JsonObject d(out);
        d.boolean("ok", false);
        d.text("detail", *s.driver_problem);
        d.close();
    }
    {
        root.name("report");
        JsonObject r(out);
        r.text("state", s.report.state);
        r.number("files", s.report.files);
        r.text("error", s.report.error);
        r.close();
    }
    root.text("view", panel_view_name(s.view));
    root.text("theme", s.dark ? "dark" : "light");
    root.close();
    return out;
}

}  // namespace sorvane
