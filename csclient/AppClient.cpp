#include "AppClient.h"

#include "AppProtocol.h"

namespace com_vela {

AppClient::AppClient(unsigned options, const Timing& timing) : CSClient(options, timing) {
    protocol = new AppProtocol(options, timing);
}

AppProtocol* AppClient::engine() { return static_cast<AppProtocol*>(protocol); }

CSClient::Result AppClient::startKeepAlive() { return engine()->startKeepAlive(); }
void AppClient::stopKeepAlive() { engine()->stopKeepAlive(); }
CSClient::Result AppClient::sendKeepAlive() { return engine()->sendKeepAlive(); }
ActiveSce AppClient::getActiveSce() const { return static_cast<const AppProtocol*>(protocol)->getActiveSce(); }
unsigned AppClient::getActivePatientId() const {
    return static_cast<const AppProtocol*>(protocol)->getActivePatientId();
}
CSClient::Result AppClient::refreshActiveSces() { return engine()->refreshActiveSces(); }

CSClient::Result AppClient::loadSce(unsigned sceId, unsigned secondaryId) { return engine()->loadSce(sceId, secondaryId); }
CSClient::Result AppClient::startSce(unsigned sceId, unsigned secondaryId) { return engine()->startSce(sceId, secondaryId, true); }
CSClient::Result AppClient::startSce(unsigned sceId, unsigned secondaryId, bool flag) {
    return engine()->startSce(sceId, secondaryId, flag);
}
CSClient::Result AppClient::stopSce() { return engine()->stopSce(); }
CSClient::Result AppClient::setSimulationMode(SimulationMode mode) { return engine()->setSimulationMode(mode); }
CSClient::Result AppClient::deliverBaby() { return engine()->deliverBaby(); }
CSClient::Result AppClient::pauseDelivery(bool pause) { return engine()->pauseDelivery(pause); }
CSClient::Result AppClient::transferToPostpartum() { return engine()->transferToPostpartum(); }
CSClient::Result AppClient::administerDrug(const std::string& drugName, DrugAdministrationMode mode, float amount) {
    return engine()->administerDrug(drugName, mode, amount);
}
CSClient::Result AppClient::resetDrugConcentration(const std::string& drugName) {
    return engine()->resetDrugConcentration(drugName);
}
CSClient::Result AppClient::bookmarkPatient(int argument) { return engine()->bookmarkPatient(argument); }
CSClient::Result AppClient::rewindPatient(int argument) { return engine()->rewindPatient(argument); }
CSClient::Result AppClient::savePatient(int argument) { return engine()->savePatient(argument); }
CSClient::Result AppClient::sendSentrelCalibrationCommand(unsigned first, unsigned second) {
    return engine()->sendSentrelCalibrationCommand(first, second);
}

namespace {
CSClient::Result publishVector(AppProtocol* engine, const std::vector<CSClient::Parameter>& parameters,
                               CSClientProtocol::PublishMode mode) {
    if (parameters.empty()) return CSClient::RESULT_OK;
    return engine->publishParameters(parameters.data(), static_cast<unsigned>(parameters.size()), mode);
}
}  // namespace

CSClient::Result AppClient::publishOverrideParameter(const Parameter& p) {
    return engine()->publishParameters(&p, 1, CSClientProtocol::PUBLISH_OVERRIDE);
}
CSClient::Result AppClient::publishOverrideParameters(const Parameter* p, unsigned count) {
    return engine()->publishParameters(p, count, CSClientProtocol::PUBLISH_OVERRIDE);
}
CSClient::Result AppClient::publishOverrideParameters(const std::vector<Parameter>& p) {
    return publishVector(engine(), p, CSClientProtocol::PUBLISH_OVERRIDE);
}
CSClient::Result AppClient::resetOverrideParameter(const Parameter& p) {
    return engine()->publishParameters(&p, 1, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}
CSClient::Result AppClient::resetOverrideParameters(const Parameter* p, unsigned count) {
    return engine()->publishParameters(p, count, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}
CSClient::Result AppClient::resetOverrideParameters(const std::vector<Parameter>& p) {
    return publishVector(engine(), p, CSClientProtocol::PUBLISH_RESET_OVERRIDE);
}
CSClient::Result AppClient::publishDeltaParameter(const Parameter& p) {
    return engine()->publishParameters(&p, 1, CSClientProtocol::PUBLISH_DELTA);
}
CSClient::Result AppClient::publishDeltaParameters(const Parameter* p, unsigned count) {
    return engine()->publishParameters(p, count, CSClientProtocol::PUBLISH_DELTA);
}
CSClient::Result AppClient::publishDeltaParameters(const std::vector<Parameter>& p) {
    return publishVector(engine(), p, CSClientProtocol::PUBLISH_DELTA);
}
CSClient::Result AppClient::sendSignalParameter(const Parameter& p, unsigned signal) {
    return engine()->publishSignalParameter(p, signal);
}

}  // namespace com_vela
