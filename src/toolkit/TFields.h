#pragma once
// The field objects of a dataset, in order; the dataset owns them.

#include "toolkit/TField.h"

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace tesvar::toolkit {

class TDataSet;

class TFields {
public:
  explicit TFields(TDataSet& DataSet) : FDataSet(DataSet) {}
  TFields(const TFields&) = delete;
  TFields& operator=(const TFields&) = delete;

  int32_t Count() const { return static_cast<int32_t>(FList.size()); }
  // Raises "List index out of bounds (<Index>)".
  TField& operator[](int32_t Index) const;
  // By name, case-insensitively; null when there is none.
  TField* FindField(std::string_view FieldName) const;
  // Raises "<dataset name>: Field 'X' not found".
  TField& FieldByName(std::string_view FieldName) const;
  // The field bound to definition FieldNo; null when none is.
  TField* FieldByNumber(int32_t FieldNo) const;
  // Position of Field; -1 when it is not in the list.
  int32_t IndexOf(const TField& Field) const;

private:
  friend class TDataSet;
  void Add(std::unique_ptr<TField> Field);
  void Clear();

  TDataSet& FDataSet;
  std::vector<std::unique_ptr<TField>> FList;
};

}  // namespace tesvar::toolkit
