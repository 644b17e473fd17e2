#include "stream.h"

#include <cctype>

namespace callctl {

static bool name_is(std::string_view line, std::string_view name) {
    if (line.size() < name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(line[i])) != name[i]) return false;
    size_t k = name.size();
    while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
    return k < line.size() && line[k] == ':';
}

long content_length(std::string_view headers) {
    size_t pos = headers.find("\r\n");  // skip the start line
    while (pos != std::string_view::npos && pos + 2 < headers.size()) {
        size_t begin = pos + 2;
        size_t end = headers.find("\r\n", begin);
        std::string_view line = headers.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
        pos = end;
        if (!name_is(line, "content-length") && !name_is(line, "l")) continue;
        size_t k = line.find(':') + 1;
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        long v = 0;
        size_t digits = 0;
        for (; k < line.size() && line[k] >= '0' && line[k] <= '9'; ++k, ++digits) {
            v = v * 10 + (line[k] - '0');
            if (v > long(StreamFramer::kMaxMessage)) return -1;
        }
        while (k < line.size() && (line[k] == ' ' || line[k] == '\t')) ++k;
        if (digits == 0 || k != line.size()) return -1;
        return v;
    }
    return 0;
}

StreamFramer::Item StreamFramer::next(std::string_view *msg) {
    // Drop what the previous call handed out, compacting now and then.
    if (start_ > 0 && (start_ == buf_.size() || start_ > 4096)) {
        buf_.erase(0, start_);
        start_ = 0;
    }
    std::string_view rest(buf_.data() + start_, buf_.size() - start_);
    if (rest.empty()) return Item::None;
    if (rest[0] == '\r' || rest[0] == '\n') {
        if (rest.size() >= 4 && rest.substr(0, 4) == "\r\n\r\n") {
            start_ += 4;
            return Item::Ping;
        }
        if (rest.size() >= 2 && rest.substr(0, 2) == "\r\n") {
            // A lone CRLF may be the start of a ping still on its way.
            if (rest.size() >= 3 && rest[2] == '\r' && rest.size() < 4) return Item::None;
            start_ += 2;
            return Item::Pong;
        }
        if (rest[0] == '\n') {
            start_ += 1;
            return Item::Pong;
        }
        return rest.size() < 2 ? Item::None : Item::Bad;
    }
    size_t end = rest.find("\r\n\r\n");
    if (end == std::string_view::npos) return rest.size() > kMaxMessage ? Item::Bad : Item::None;
    long body = content_length(rest.substr(0, end + 2));
    if (body < 0) return Item::Bad;
    size_t total = end + 4 + size_t(body);
    if (total > kMaxMessage) return Item::Bad;
    if (rest.size() < total) return Item::None;
    *msg = rest.substr(0, total);
    start_ += total;
    return Item::Message;
}

}  // namespace callctl
