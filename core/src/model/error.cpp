// core/src/model/error.cpp: construction and messages of BindError.
#include "kestrix/error.hpp"

namespace kestrix {

BindError BindError::xml_reader(std::uint64_t position, std::string error) {
    BindError e(Kind::XmlReader);
    e.a_ = position;
    e.text_ = std::move(error);
    return e;
}

BindError BindError::invalid_utf8(Utf8Error error) {
    BindError e(Kind::InvalidUtf8);
    e.utf8_ = error;
    return e;
}

BindError BindError::scalar_parse(std::string field, std::string got, std::string_view expected) {
    BindError e(Kind::ScalarParse);
    e.text_ = std::move(field);
    e.got_ = std::move(got);
    e.expected_ = expected;
    return e;
}

BindError BindError::schema(std::string message) {
    BindError e(Kind::Schema);
    e.text_ = std::move(message);
    return e;
}

BindError BindError::serialization(std::string message) {
    BindError e(Kind::Serialization);
    e.text_ = std::move(message);
    return e;
}

BindError BindError::depth_exceeded(std::uint64_t limit, std::uint64_t current) {
    BindError e(Kind::DepthExceeded);
    e.a_ = limit;
    e.b_ = current;
    return e;
}

BindError BindError::xml_parse(std::string error) {
    BindError e(Kind::XmlParse);
    e.text_ = std::move(error);
    return e;
}

BindError BindError::unescape(std::string error) {
    BindError e(Kind::Unescape);
    e.text_ = std::move(error);
    return e;
}

std::string BindError::message() const {
    switch (kind_) {
        case Kind::XmlReader:
            return "XML reader error at position " + std::to_string(a_) + ": " + text_;
        case Kind::InvalidUtf8: {
            std::string detail =
                utf8_.error_len ? "invalid utf-8 sequence of " + std::to_string(*utf8_.error_len) +
                                      " bytes from index " + std::to_string(utf8_.valid_up_to)
                                : "incomplete utf-8 byte sequence from index " +
                                      std::to_string(utf8_.valid_up_to);
            return "Invalid UTF-8 in XML document: " + detail;
        }
        case Kind::ScalarParse:
            return "Scalar parse error for field '" + text_ + "': expected " +
                   std::string(expected_) + ", got '" + got_ + "'";
        case Kind::Schema:
            return "Schema error: " + text_;
        case Kind::Serialization:
            return "Serialization error: " + text_;
        case Kind::DepthExceeded:
            return "Maximum XML recursion depth exceeded: current " + std::to_string(b_) +
                   " >= limit " + std::to_string(a_);
        case Kind::XmlParse:
            return "XML parsing error: " + text_;
        case Kind::Unescape:
            return "XML unescape error: " + text_;
    }
    return text_;
}

}  // namespace kestrix
