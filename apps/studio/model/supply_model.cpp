#include "supply_model.hpp"

namespace varek {

SupplyModel::SupplyModel(QObject* parent)
    : QObject(parent), state_([this](ModelChanges what) { emit changed(what); }) {}

}  // namespace varek
