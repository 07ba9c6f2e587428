#include "url_password.hpp"

namespace vorna {
namespace {

// [start, end) of the authority of `url`, or false when it has none.
bool authority_of(const std::string &url, size_t &start, size_t &end) {
    size_t scheme_end = url.find("://");
    if (scheme_end != std::string::npos)
        start = scheme_end + 3;
    else if (url.compare(0, 2, "//") == 0)
        start = 2;
    else
        return false;
    end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();
    return true;
}

// Where the password of `url`'s user information starts, and its length;
// false when there is none.
bool password_span(const std::string &url, size_t &at, size_t &length) {
    size_t start = 0, end = 0;
    if (!authority_of(url, start, end)) return false;
    size_t user_end = url.rfind('@', end == 0 ? 0 : end - 1);
    if (user_end == std::string::npos || user_end < start) return false;
    size_t colon = url.find(':', start);
    if (colon == std::string::npos || colon > user_end || colon + 1 == user_end) return false;
    at = colon + 1;
    length = user_end - at;
    return true;
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

bool utf8_of(py::handle text, std::string &out) {
    if (!py::isinstance<py::str>(text)) return false;
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(text.ptr(), &n);
    if (!s) {
        PyErr_Clear();
        return false;
    }
    out.assign(s, static_cast<size_t>(n));
    return true;
}

py::object without_user_info(py::handle url) {
    std::string text;
    size_t start = 0, end = 0;
    if (!utf8_of(url, text) || !authority_of(text, start, end)) return py::reinterpret_borrow<py::object>(url);
    size_t user_end = text.rfind('@', end == 0 ? 0 : end - 1);
    if (user_end == std::string::npos || user_end < start) return py::reinterpret_borrow<py::object>(url);
    return py::str(text.substr(0, start) + text.substr(user_end + 1));
}

std::string hide_password(const std::string &url) {
    size_t at = 0, length = 0;
    if (!password_span(url, at, length)) return url;
    return url.substr(0, at) + "***" + url.substr(at + length);
}

py::str scrub_password(py::handle text, py::handle url) {
    std::string u, t;
    size_t at = 0, length = 0;
    if (!utf8_of(url, u) || !utf8_of(text, t) || !password_span(u, at, length))
        return py::reinterpret_borrow<py::str>(text);
    std::string password = u.substr(at, length);
    if (t.find(password) == std::string::npos) return py::reinterpret_borrow<py::str>(text);
    return py::str(replace_all(t, ":" + password + "@", ":***@"));
}

void scrub_exception(py::handle value, py::handle url) {
    try {
        py::object args = py::getattr(value, "args", py::none());
        if (py::isinstance<py::tuple>(args)) {
            py::tuple old = py::reinterpret_borrow<py::tuple>(args);
            py::tuple fresh(old.size());
            bool changed = false;
            for (size_t i = 0; i < old.size(); ++i) {
                py::object item = old[i];
                if (py::isinstance<py::str>(item)) {
                    py::str clean = scrub_password(item, url);
                    changed = changed || !clean.is(item);
                    item = clean;
                }
                fresh[i] = item;
            }
            if (changed) py::setattr(value, "args", fresh);
        }
        py::object message = py::getattr(value, "message", py::none());
        if (py::isinstance<py::str>(message)) {
            py::str clean = scrub_password(message, url);
            if (!clean.is(message)) py::setattr(value, "message", clean);
        }
    } catch (py::error_already_set &) {
        // Best effort: the exception being reported must still go out.
    }
}

}  // namespace vorna
