// Reading the controller's JSON replies: parsing without exceptions, exact member
// look-up, and the depth-first walk that the path reply is read with.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <nlohmann/json.hpp>
#include <string>

// Replies keep their members in document order: the walk and "first member" depend on it.
using lb_json = nlohmann::ordered_json;

// One node of a parsed reply as the walk hands it on: an object member (key set) or an
// array element (key null).
typedef struct lb_json_node {
    const std::string *key;
    const lb_json *value;
} lb_json_node;

// Parses len bytes at text as one JSON document into out. Returns 0, or -1 when the
// bytes are not one complete document (out is then left null).
int lb_json_parse(const char *text, size_t len, lb_json &out);

// The member of obj whose key equals name in full; null when obj is not an object or
// has no such member. An empty name matches nothing.
const lb_json *lb_json_get(const lb_json *obj, const char *name);

// The first member of obj (document order), or null when obj is not an object or empty.
const lb_json *lb_json_first(const lb_json *obj);

// The text of a string value; null for a null pointer or any other kind of value.
const char *lb_json_text(const lb_json *v);

// The value of an integer number; 0 for a null pointer, a fraction or any other kind.
int64_t lb_json_int(const lb_json *v);

typedef void (*lb_json_visit_fn)(const lb_json_node *n, void *ctx);

// Hands every node below js to visit, depth first: each node before its descendants,
// siblings in document order. js itself is not handed on; scalars have no children.
void lb_json_walk(const lb_json &js, lb_json_visit_fn visit, void *ctx);
