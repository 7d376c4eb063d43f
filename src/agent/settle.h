// When the container was replaced by another program while the unlocked
// copy held changes not yet sealed: the three-way merge of the last state
// sealed (the ancestor, kept in the agent's memory), the copy and what the
// container now holds, all three database images in wiped memory. Nothing
// is read from or written to a file here.
#pragma once

#include <memory>
#include <string>

#include "memory/secret.h"
#include "store/image.h"

// The merged database image, carrying the lineage of both (join_lineages,
// store/lineage.h); nullptr after a message on standard error (an image
// that is no kesp database, copies of two different databases, a damaged
// lineage). `report` receives the merge's
// summary ("Merged: ...", see describe_merge), ids only. The images may be
// changed in place (a write-ahead-log header is read as a plain file's).
std::unique_ptr<built_image> merge_images(wiped_buffer &base, wiped_buffer &copy,
                                          wiped_buffer &container, std::string &report);
