#pragma once
// The texts the framework raises. "%s" marks where FormatMsg puts its arguments, in order.

#include <initializer_list>
#include <string>
#include <string_view>

namespace tesvar::toolkit {

// Datasets.
inline constexpr char SDataSetClosed[] = "Cannot perform this operation on a closed dataset";
inline constexpr char SDataSetOpen[] = "Cannot perform this operation on an open dataset";
inline constexpr char SNotEditing[] = "Dataset not in edit or insert mode";
inline constexpr char SDataSetEmpty[] = "Cannot perform this operation on an empty dataset";
inline constexpr char SDataSetReadOnly[] = "Cannot modify a read-only dataset";
inline constexpr char SRecordNotFound[] = "Record not found";
inline constexpr char SCircularDataLink[] = "Circular datalinks are not allowed";
inline constexpr char SInvalidBufferCount[] = "Invalid buffer count %s: a data link shows at least one record";
inline constexpr char SOperationAborted[] = "Operation aborted";

// Fields.
inline constexpr char SFieldNotFound[] = "Field '%s' not found";
inline constexpr char SDuplicateFieldName[] = "Duplicate field name '%s'";
inline constexpr char SFieldRequired[] = "Field '%s' must have a value";
inline constexpr char SFieldReadOnly[] = "Field '%s' cannot be modified";
inline constexpr char SFieldAccessError[] = "Cannot access field '%s' as type %s";
inline constexpr char SFieldRangeError[] = "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr char SFieldTypeMismatch[] = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr char SFieldSizeMismatch[] = "Size mismatch for field '%s', expecting: %s actual: %s";
inline constexpr char SUnknownFieldType[] = "Field '%s' is of an unknown type";
inline constexpr char SDataSetMissing[] = "Field '%s' has no dataset";
inline constexpr char SInvalidBoolValue[] = "'%s' is not a valid boolean value for field '%s'";
inline constexpr char SFieldValueTooLong[] = "Value of %s bytes does not fit field '%s' of %s bytes";
inline constexpr char SListIndexError[] = "List index out of bounds (%s)";

// Parameters.
inline constexpr char SParameterNotFound[] = "Parameter '%s' not found";

// Text conversions.
inline constexpr char SInvalidInteger[] = "'%s' is not a valid integer value";
inline constexpr char SInvalidFloat[] = "'%s' is not a valid floating point value";
inline constexpr char SInvalidBoolean[] = "'%s' is not a valid boolean value";
inline constexpr char SInvalidDate[] = "'%s' is not a valid date";
inline constexpr char SInvalidTime[] = "'%s' is not a valid time";
inline constexpr char SInvalidDateTime[] = "'%s' is not a valid date and time";
inline constexpr char SDateEncodeError[] = "Invalid argument to date encode";
inline constexpr char STimeEncodeError[] = "Invalid argument to time encode";
inline constexpr char SInvalidTimeStamp[] = "'%s.%s' is not a valid timestamp";

// Variant values.
inline constexpr char SVarTypeCastError[] = "Could not convert variant of type (%s) into type (%s)";
inline constexpr char SVarOverflowError[] = "Overflow while converting variant of type (%s) into type (%s)";
inline constexpr char SVarArrayBounds[] = "Variant array index %s out of bounds";

// Streams.
inline constexpr char SReadError[] = "Stream read error";
inline constexpr char SWriteError[] = "Stream write error";

// Pattern with each "%s" replaced by the next argument; a "%s" without an argument stays.
std::string FormatMsg(std::string_view Pattern, std::initializer_list<std::string_view> Args);

}  // namespace tesvar::toolkit
