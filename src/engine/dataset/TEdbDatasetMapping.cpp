// The field mapping of a dataset: a projection of the table's fields under names of its own.

#include "dataset/TEdbDataset.h"
#include "dataset/TEdbDataset_internal.h"

#include "platform/AnsiCase.h"
#include "platform/Exception.h"

namespace tesvar::dataset {

using namespace toolkit;

namespace {

// The native error of a mapped name the table lacks.
constexpr int32_t kFieldNotFound = 13;

// Name, or Name + "_1", "_2", ... : the first that no definition of Defs has.
std::string freeDefinitionName(const TFieldDefs& Defs, const std::string& Name) {
  if (IndexOfFieldDef(Defs, Name) < 0) return Name;
  for (int32_t n = 1;; ++n) {
    const std::string candidate = Name + "_" + std::to_string(n);
    if (IndexOfFieldDef(Defs, candidate) < 0) return candidate;
  }
}

}  // namespace

void TEdbDataset::SetFieldMapping(const std::vector<std::string>& FieldNames,
                                  const std::vector<std::string>& AliasNames, bool KeepDefs) {
  TFieldDefs defs;
  std::vector<int32_t> map;
  if (!KeepDefs) {
    const bool opened = !FTableOpen;
    if (opened) Open();
    try {
      const std::string& idName = FDataManager->TableHeader().IDFieldName;
      const auto& headers = FDataManager->FieldHeaders();
      for (size_t i = 0; i < FieldNames.size(); ++i) {
        const std::string& name = FieldNames[i];
        const std::string alias = i < AliasNames.size() ? AliasNames[i] : std::string();
        const std::string upper = platform::AnsiUpperCase(name);
        if (upper == platform::AnsiUpperCase(idName)) {
          defs.push_back({freeDefinitionName(defs, alias.empty() ? idName : alias), ftAutoInc, 0, false});
          map.push_back(-1);
          continue;
        }
        int32_t no = -1;
        for (size_t k = 0; k < headers.size() && no < 0; ++k)
          if (platform::AnsiUpperCase(headers[k].Name) == upper) no = static_cast<int32_t>(k);
        if (no < 0)
          throw EEdbException(kFieldNotFound,
                              "Field not found. Table name = '" + FTableName + "', Field name = '" + name + "'.",
                              Name());
        const storage::TFieldHeader& header = headers[static_cast<size_t>(no)];
        defs.push_back({freeDefinitionName(defs, alias.empty() ? name : alias), header.FieldType,
                        detail::definitionSize(header), header.Required});
        map.push_back(no);
      }
    } catch (...) {
      if (opened) Close();
      throw;
    }
  }
  FMapFieldNames = FieldNames;
  FMapAliasNames = AliasNames;
  if (!KeepDefs) {
    FieldDefs() = std::move(defs);
    FFieldMap = std::move(map);
  }
  // Closed and opened again over the connected table, the fields made from the mapped
  // definitions.
  const bool keep = FKeepTableOpen;
  FKeepTableOpen = FTableOpen;
  try {
    Close();
    FFieldMapActive = true;
    Open();
  } catch (...) {
    FKeepTableOpen = keep;
    FFieldMapActive = false;
    if (FTableOpen && !Active()) DisconnectTable();
    throw;
  }
  FKeepTableOpen = keep;
}

}  // namespace tesvar::dataset
