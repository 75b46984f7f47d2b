// TakeNodeCensus: the nodes a PipeWire daemon has now (id and node.name), read over a
// connection of its own that lasts only for the census:
//
//   std::vector<CensusNode> nodes;
//   std::string problem;
//   if (TakeNodeCensus(std::chrono::seconds(3), &nodes, &problem)) ...   // every node
//
// The census waits for the daemon's answer to a sync after the registry listing, so
// every node that existed when it asked is in it. It never waits longer than `limit`.
// Failure: false with the reason in words (no daemon, or no answer in time); the nodes
// are then not known. Threading: any thread; it runs a loop of its own.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct CensusNode {
  std::uint32_t id = 0;
  std::string name;  // node.name
};

bool TakeNodeCensus(std::chrono::milliseconds limit, std::vector<CensusNode>* nodes, std::string* problem);
