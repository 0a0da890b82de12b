// One reader per element of the scenario file. Each checks its element's
// attributes and the rules between them, and throws ScenarioError on a mistake.
#pragma once

#include "simulator/scenario.h"
#include "simulator/xml_util.h"

#include <memory>
#include <string>
#include <vector>

namespace kelvra_sim::scenario_file {

void read_root(const xmlNode* root, Scenario& s);
StartupFault read_startup(const xmlNode* node);
DeviceSpec read_device(const xmlNode* node);
ScriptedReply read_reply(const xmlNode* node);
PageFault read_page(const xmlNode* node);

// A relative file is taken from the scenario's folder; a file named by several
// sources is read once, `loaded` holding those read so far.
PageSource read_source(const xmlNode* node, const std::string& scenario_path,
                       std::vector<std::shared_ptr<const SourceImage>>& loaded);

}  // namespace kelvra_sim::scenario_file
