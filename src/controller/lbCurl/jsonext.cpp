#include "controller/lbCurl/jsonext.h"

#include <vector>

int lb_json_parse(const char *text, size_t len, lb_json &out) {
    out = nullptr;
    if (text == nullptr || len == 0)
        return -1;
    lb_json parsed = lb_json::parse(text, text + len, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded())
        return -1;
    out = std::move(parsed);
    return 0;
}

const lb_json *lb_json_get(const lb_json *obj, const char *name) {
    if (obj == nullptr || name == nullptr || name[0] == '\0' || !obj->is_object())
        return nullptr;
    auto it = obj->find(name);
    return it == obj->end() ? nullptr : &*it;
}

const lb_json *lb_json_first(const lb_json *obj) {
    if (obj == nullptr || !obj->is_object() || obj->empty())
        return nullptr;
    return &*obj->begin();
}

const char *lb_json_text(const lb_json *v) {
    if (v == nullptr || !v->is_string())
        return nullptr;
    return v->get_ref<const std::string &>().c_str();
}

int64_t lb_json_int(const lb_json *v) {
    if (v == nullptr)
        return 0;
    if (v->is_number_unsigned())
        return static_cast<int64_t>(v->get<uint64_t>());
    if (v->is_number_integer())
        return v->get<int64_t>();
    return 0;
}

// Iterative, so a deeply nested reply cannot exhaust the stack. Children are pushed in
// reverse so that they are popped in document order.
void lb_json_walk(const lb_json &js, lb_json_visit_fn visit, void *ctx) {
    if (visit == nullptr)
        return;
    std::vector<lb_json_node> pending;
    auto pushChildren = [&pending](const lb_json &v) {
        if (v.is_object()) {
            for (auto it = v.rbegin(); it != v.rend(); ++it)
                pending.push_back(lb_json_node{&it.key(), &it.value()});
        } else if (v.is_array()) {
            for (auto it = v.rbegin(); it != v.rend(); ++it)
                pending.push_back(lb_json_node{nullptr, &*it});
        }
    };
    pushChildren(js);
    while (!pending.empty()) {
        lb_json_node n = pending.back();
        pending.pop_back();
        visit(&n, ctx);
        pushChildren(*n.value);
    }
}
