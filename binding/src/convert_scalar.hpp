// binding/src/convert_scalar.hpp: turns one scalar value into the Python object
// a field's annotation asks for (enum member, Decimal, date/time, plain value),
// by a converter chosen once per field when its class is compiled.
#pragma once

#include "python.hpp"

#include <cstdint>
#include <string_view>

#include "kestrix/value.hpp"
#include "pyref.hpp"

namespace kestrix::py {

/// What a field's text becomes, after any enum lookup has failed.
enum class Conversion : std::uint8_t {
    Plain,        ///< the value as it is (builtin scalars, unknown classes, no annotation)
    Decimal,      ///< decimal.Decimal(text), whatever the class named "Decimal"
    IsoDate,      ///< datetime.date or a subclass: fromisoformat
    IsoTime,      ///< datetime.time or a subclass: fromisoformat
    IsoDateTime,  ///< datetime.datetime or a subclass: fromisoformat
    XmlDate,      ///< a class named XmlDate: from_string, the companion package, ...
    XmlTime,      ///< a class named XmlTime
    XmlDateTime,  ///< a class named XmlDateTime
    XmlDuration,  ///< a class named XmlDuration: its constructor, the companion package
    QName,        ///< kestrix.QName or a subclass: built from the `{uri}local` text
};

/// How the scalar values of one field (of its items, for a list) are read and
/// written. Decided once, when the class is compiled, so converting a value
/// never inspects the annotation again.
struct Converter {
    Conversion conversion = Conversion::Plain;
    bool is_enum = false;  ///< members are looked up before `conversion` applies
    Ref declared;          ///< the annotation; null for Plain non-enum fields
    /// An enum class whose call is the stock one: its `_value2member_map_`,
    /// where a value found gives the member the call gives, without the call.
    /// Null for other classes (their call is made as it is).
    Ref value_map;
    /// The class has the stock `_missing_` too: a value not in `value_map`
    /// is one the call refuses, so the call is not made.
    bool value_map_decides = false;
    /// Decimal: decimal.Decimal. Iso*: the annotation. Xml date kinds: the
    /// datetime class whose fromisoformat is their last resort.
    Ref helper;

    /// Values that are datetime objects are written with isoformat().
    bool writes_iso() const noexcept {
        return conversion >= Conversion::IsoDate && conversion <= Conversion::XmlDateTime;
    }
};

/// The converter for values of a field annotated `annotation` (Optional
/// already stripped; null for none). False with an exception set only when
/// the standard modules it relies on cannot be imported.
bool choose_converter(PyObject* annotation, Converter& out);

/// Converts a scalar `value` (Null, Bool, Int, Float or Str) as `convert`
/// says (null: the plain value). Conversions that fail fall back to the next
/// way and finally to the plain value; only a failing `Decimal` conversion
/// raises. New reference, or null with the exception set.
PyObject* convert_scalar(const Value& value, const Converter* convert);

/// Adds the note "cannot convert the text '...' to {target}" to the exception
/// being raised, the text shortened to one line.
void note_unconverted(std::string_view text, std::string_view target);

/// `v`'s isoformat() when it is a datetime.date, .time or .datetime (or of a
/// subclass); null with no error set when it is not one, null with an error
/// set when isoformat itself fails.
Ref iso_text(PyObject* v);

}  // namespace kestrix::py
