#pragma once

// What kbx --json prints, read whole by Qt's strict JSON parser: anything but
// exactly one JSON value fails the test.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <string>
#include <vector>

namespace kbx::test {

// One value; a member or an item that is not there is undefined, which
// matches nothing a test expects.
class Json {
 public:
  Json(const QJsonValue& value = QJsonValue(QJsonValue::Undefined)) : value_(value) {}  // NOLINT: implicit

  QJsonValue::Type Type() const { return value_.type(); }
  std::string Text() const { return value_.toString().toStdString(); }
  double Number() const { return value_.toDouble(-1); }
  Json operator[](const std::string& name) const { return value_[QString::fromStdString(name)]; }
  qsizetype Size() const { return value_.toArray().size(); }
  Json At(qsizetype index) const { return index < Size() ? value_.toArray().at(index) : Json{}; }
  std::vector<std::string> Strings() const {
    std::vector<std::string> out;
    for (const QJsonValue& item : value_.toArray()) out.push_back(item.toString().toStdString());
    return out;
  }

 private:
  QJsonValue value_;
};

inline Json ReadJson(const std::string& text) {
  // The parser takes only an array or an object whole: a bare value is read
  // as the one item of an array around it.
  QJsonParseError error;
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString("[" + text + "\n]"), &error);
  if (error.error != QJsonParseError::NoError || document.array().size() != 1) {
    ADD_FAILURE() << "not one JSON value: " << error.errorString().toStdString() << "\n" << text;
    return {};
  }
  return document.array().first();
}

}  // namespace kbx::test
