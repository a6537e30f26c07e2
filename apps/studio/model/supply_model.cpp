#include "supply_model.hpp"

#include "preset_store.hpp"
#include "recording_control.hpp"

namespace varek {

SupplyModel::SupplyModel(QObject* parent)
    : QObject(parent), state_([this](ModelChanges what) { emit changed(what); }) {}

bool SupplyModel::savePreset(const QString& name) { return presetStore().save(name); }
bool SupplyModel::renamePreset(const QString& from, const QString& to) { return presetStore().rename(from, to); }
void SupplyModel::deletePreset(const QString& name) { presetStore().remove(name); }
void SupplyModel::recallPreset(const QString& name) { presetStore().recall(name); }
void SupplyModel::setCeilings(SafetyCeilings ceilings) { presetStore().setCeilings(ceilings); }
void SupplyModel::exportCSV() { recordingControl().exportAll(); }
void SupplyModel::exportCSVWithin(Timestamp from, Timestamp to) { recordingControl().exportWithin(from, to); }
void SupplyModel::startRecording() { recordingControl().start(); }
void SupplyModel::stopRecording() { recordingControl().stop(); }

}  // namespace varek
