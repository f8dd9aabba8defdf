#include "backends/table_layout.hpp"

#include "backends/stored_value.hpp"
#include "velmor_models/backends/query_check.hpp"
#include "velmor_utils/errors.hpp"

namespace velmor_models::backends {

std::string table_of(const classes::model::ModelClass& cls) {
  const boost::json::value& t = cls.table_name();
  if (!t.is_string() || t.get_string().empty())
    throw velmor_utils::errors::ValueError("model " + cls.name() + " has no table name");
  return std::string(t.get_string());
}

std::vector<std::string> table_ddl(const sql::Dialect& dialect,
                                   const classes::model::ModelClass& cls,
                                   const std::vector<std::string>& indexed_fields,
                                   bool address_index) {
  const std::string table = table_of(cls);
  std::vector<sql::ColumnDef> columns;
  for (const auto& f : cls.fields())
    if (f.name != "_metadata") columns.push_back({f.name, dialect.column_type(f.type)});
  columns.push_back({"_metadata", dialect.column_type(classes::model::CoreTypes::STRING)});
  for (const classes::model::FieldDecl* a : address_columns())
    columns.push_back({a->name, dialect.column_type(a->type)});
  if (const sql::ColumnDef order = dialect.insertion_column(); !order.name.empty())
    columns.push_back(order);
  std::vector<std::string> out{dialect.create_table(table, columns)};
  const std::string_view address[] = {"_object_id", "_object_version"};
  const std::string_view class_version[] = {"_class_version"};
  if (address_index)
    out.push_back(dialect.create_index(dialect.index_name(table, "___address"), table, address));
  out.push_back(
      dialect.create_index(dialect.index_name(table, "___class_version"), table, class_version));
  for (const auto& name : indexed_fields) {
    const std::string_view column[] = {field_of(cls, name).name};
    out.push_back(dialect.create_index(dialect.index_name(table, "__" + std::string(column[0])),
                                       table, column));
  }
  return out;
}

}  // namespace velmor_models::backends
