// facility_setup.h - the facility that vesk-host's options describe.
//
// The environment INI comes from --config, from a "config" step of the
// scenario (--config wins) or from VESK_CONFIG. Its [component.NAME]
// sections declare the components, each with its plug-in (default: the one
// given with --plugin) and panel folder, both relative to the INI's folder,
// and the parent parameters sent at start-up in order. Without such a
// section the facility holds one component of the --plugin module.
#ifndef VESK_HOST_FRONT_FACILITY_SETUP_H
#define VESK_HOST_FRONT_FACILITY_SETUP_H

#include <memory>
#include <string>
#include <vector>

#include "facility/facility.h"
#include "front/scenario.h"
#include "front/timeline_printer.h"
#include "plugins/module_set.h"

namespace vhost {

struct SetupOptions {
    std::string pluginPath;  // the default plug-in
    std::string panelsDir;   // the default panel folder
    std::string configPath;  // --config, empty when not given
    bool capture = true;
};

// Something beside the components that the environment INI sets up (the
// TSL bridges): it reads its own sections, then joins the facility before
// the components are created.
class FacilityAddOn {
public:
    virtual ~FacilityAddOn() = default;
    // False, with "file:line: message" errors, when its sections are wrong.
    virtual bool configure(const std::string& configPath, std::vector<std::string>& errors) = 0;
    virtual void attach(Facility& facility) = 0;
};

class FacilitySetup : public FacilitySource {
public:
    FacilitySetup(SetupOptions options, Timeline& timeline, TimelinePrinter& printer)
        : options_(std::move(options)), timeline_(timeline), printer_(printer) {}

    Facility* facility() override;
    bool configure(const std::string& path, std::string& error) override;
    // The facility could not be made; the reason went to standard error.
    bool failed() const { return failed_; }
    // The environment INI the facility was made with; empty for none.
    const std::string& configPath() const { return configPath_; }
    void setAddOn(FacilityAddOn* addOn) { addOn_ = addOn; }

private:
    bool build();
    bool fail(const std::string& message);

    SetupOptions options_;
    Timeline& timeline_;
    TimelinePrinter& printer_;
    std::string scenarioConfig_;
    std::string configPath_;
    ModuleSet modules_;  // outlives the facility, which ends the components first
    std::unique_ptr<Facility> facility_;
    bool failed_ = false;
    FacilityAddOn* addOn_ = nullptr;
};

}  // namespace vhost

#endif  // VESK_HOST_FRONT_FACILITY_SETUP_H
