#pragma once

// What kbx --json prints, read whole by Qt's strict JSON parser, or the test fails.
#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kbx::test {

struct Json {
  enum Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = kNull;
  bool boolean = false;
  double number = 0;
  std::string text;  // a string's value, in UTF-8
  std::vector<Json> items;
  std::map<std::string, Json> members;

  bool Has(const std::string& name) const { return kind == kObject && members.count(name) > 0; }
  const Json& operator[](const std::string& name) const { return members.at(name); }
  std::vector<std::string> Strings() const {
    std::vector<std::string> out;
    for (const Json& item : items) out.push_back(item.text);
    return out;
  }
};

class JsonReader {
 public:
  // The value of the whole text (white space around it allowed); nullopt and
  // the reason in `error` for anything that is not exactly one JSON value.
  static std::optional<Json> Read(const std::string& text, std::string& error) {
    // The parser takes only an array or an object whole: a bare value is read
    // as the one item of an array around it.
    QJsonParseError parseError;
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString("[" + text + "\n]"), &parseError);
    if (parseError.error != QJsonParseError::NoError || document.array().size() != 1) {
      error = parseError.errorString().toStdString() + " at " + std::to_string(parseError.offset - 1);
      return std::nullopt;
    }
    return From(document.array().first());
  }

 private:
  static Json From(const QJsonValue& value) {
    Json json;
    switch (value.type()) {
      case QJsonValue::Bool:
        json.kind = Json::kBool;
        json.boolean = value.toBool();
        break;
      case QJsonValue::Double:
        json.kind = Json::kNumber;
        json.number = value.toDouble();
        break;
      case QJsonValue::String:
        json.kind = Json::kString;
        json.text = value.toString().toStdString();
        break;
      case QJsonValue::Array:
        json.kind = Json::kArray;
        for (const QJsonValue& item : value.toArray()) json.items.push_back(From(item));
        break;
      case QJsonValue::Object: {
        json.kind = Json::kObject;
        const QJsonObject object = value.toObject();
        for (auto member = object.begin(); member != object.end(); ++member)
          json.members.emplace(member.key().toStdString(), From(member.value()));
        break;
      }
      default:
        break;
    }
    return json;
  }
};

}  // namespace kbx::test
