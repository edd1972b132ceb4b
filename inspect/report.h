#pragma once
// A command's answer as one tree, written either as readable text (tables
// for lists of records) or, with --json, as one JSON document. Commands
// build the tree once, so both forms always say the same.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace torvi::inspect {

struct node_member;

struct node {
  enum class type : std::uint8_t { null, boolean, number, text, list, object };
  type kind = type::null;
  bool flag = false;
  std::int64_t number = 0;
  std::string text;
  std::vector<node> items;           // a list's elements
  std::vector<node_member> members;  // an object's, in order

  // Adds a member to an object (or an element to a list) and returns it.
  node& add(std::string key, node value);
  node& push(node value);
  // The member called `key`; null when there is none.
  const node* find(const std::string& key) const;
};

// One member of an object, read as a key and value pair.
struct node_member {
  std::string first;
  node second;
};

node null_node();
node bool_node(bool value);
node number_node(std::int64_t value);
node text_node(std::string value);
node list_node();
node object_node();
// A list of numbers, one per byte.
node bytes_node(std::span<const std::uint8_t> bytes);

// One JSON document and a line break. Texts are written as UTF-8 JSON
// strings; bytes that are not UTF-8 become "\u00XX" escapes of their value.
std::string to_json(const node& root);

// The readable form: an object's scalar members as "key: value" lines,
// nested objects indented under their key, lists of objects as tables with
// one column per member (a member that is itself a list of objects becomes
// a table indented under its row), lists of scalars on one line.
std::string to_text(const node& root);

}  // namespace torvi::inspect
