#include "tools/qelhost/simulator.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "driver/host/records.h"
#include "prv2sim/fixture.h"
#include "prv2sim/gatefile.h"

namespace qelhost {

namespace {

// A free name /tmp/qhNNNN: 11 characters, what the driver's port field holds.
std::string FreeLinkName(unsigned attempt) {
  const unsigned n = (static_cast<unsigned>(getpid()) + attempt * 7919u) % 10000u;
  char name[32];
  std::snprintf(name, sizeof name, "/tmp/qh%04u", n);
  return name;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

}  // namespace

SimLine::SimLine() = default;
SimLine::~SimLine() {
  Stop();
}

bool SimLine::Start(const SimOptions& options, std::string* error) {
  prv2sim::EngineOptions engine;
  try {
    if (!options.gates_file.empty()) {
      prv2sim::GateFile file = prv2sim::load_gate_file(options.gates_file);
      engine.controller = file.controller;
      engine.gates = std::move(file.gates);
    }
  } catch (const std::exception& e) {
    *error = "simulator gate file: " + std::string(e.what());
    return false;
  }
  for (const std::string& list : options.faults) {
    if (list.empty()) continue;
    if (!engine.faults.empty()) engine.faults += ",";
    engine.faults += list;
  }
  engine.baud = options.baud;

  std::string last_error;
  for (unsigned attempt = 0; attempt < 20 && sim_ == nullptr; ++attempt) {
    const std::string link = FreeLinkName(attempt);
    if (Exists(link)) continue;
    engine.link = link;
    try {
      sim_ = std::make_unique<prv2sim::InProcessSimulator>(engine);
      port_ = link;
    } catch (const prv2sim::FaultListError& e) {
      *error = "simulator fault list: " + std::string(e.what());
      return false;
    } catch (const std::invalid_argument& e) {
      *error = "simulator: " + std::string(e.what());
      return false;
    } catch (const std::exception& e) {
      last_error = e.what();  // the link could not be made: try another name
    }
  }
  if (sim_ == nullptr) {
    // No link in /tmp: the pty's own name under /dev, while it fits.
    engine.link.clear();
    try {
      sim_ = std::make_unique<prv2sim::InProcessSimulator>(engine);
    } catch (const std::exception& e) {
      *error = "simulator: " + std::string(e.what()) +
               (last_error.empty() ? "" : " (and no link: " + last_error + ")");
      return false;
    }
    const std::string path = sim_->path();
    port_ = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    if (port_.size() >= qel::kPortNameSize) {
      *error = "simulator: the pty " + path + " has no name of 11 characters or fewer";
      sim_.reset();
      return false;
    }
  }
  return true;
}

void SimLine::Stop() {
  if (sim_ != nullptr) sim_->stop();
  sim_.reset();
}

std::string SimLine::path() const {
  return sim_ != nullptr ? sim_->path() : std::string();
}

std::vector<std::string> SimLine::ReadableGates() const {
  std::vector<std::string> names;
  if (sim_ == nullptr) return names;
  for (const prv2sim::GateSnapshot& g : sim_->gates()) {
    if (g.access != prv2sim::Access::WriteOnly) names.push_back(g.name);
  }
  return names;
}

}  // namespace qelhost
