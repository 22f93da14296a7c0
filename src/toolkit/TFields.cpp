#include "toolkit/TFields.h"

#include "platform/AnsiCase.h"
#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataSet.h"

namespace tesvar::toolkit {

TField& TFields::operator[](int32_t Index) const {
  if (Index < 0 || Index >= Count()) DatabaseError(FormatMsg(SListIndexError, {IntToStr(Index)}));
  return *FList[static_cast<size_t>(Index)];
}

TField* TFields::FindField(std::string_view FieldName) const {
  for (const auto& Field : FList)
    if (platform::AnsiSameText(Field->FieldName(), FieldName)) return Field.get();
  return nullptr;
}

TField& TFields::FieldByName(std::string_view FieldName) const {
  TField* Field = FindField(FieldName);
  if (Field == nullptr) DatabaseError(FormatMsg(SFieldNotFound, {FieldName}), FDataSet.Name());
  return *Field;
}

TField* TFields::FieldByNumber(int32_t FieldNo) const {
  if (FieldNo <= 0) return nullptr;
  for (const auto& Field : FList)
    if (Field->FieldNo() == FieldNo) return Field.get();
  return nullptr;
}

int32_t TFields::IndexOf(const TField& Field) const {
  for (size_t i = 0; i < FList.size(); ++i)
    if (FList[i].get() == &Field) return static_cast<int32_t>(i);
  return -1;
}

void TFields::Add(std::unique_ptr<TField> Field) { FList.push_back(std::move(Field)); }

void TFields::Clear() { FList.clear(); }

}  // namespace tesvar::toolkit
