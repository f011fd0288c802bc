// LIST and NLST, and the data-connection half every listing shares (LIST,
// NLST, MLSD). Loop thread only.
#pragma once

#include <string>
#include <string_view>
#include "fs/RDirTextList.h"

namespace vantor {

class RFTPSComInterp;

void HandleListVerb(RFTPSComInterp& s, std::string_view line);
void HandleNlstVerb(RFTPSComInterp& s, std::string_view line);

// Sends the lines of a listing of the local directory `dir` over the data
// connection: "150" in active mode, then the lines, then "226" with the
// accounting every listing gets (LIST, NLST, MLSD).
// The lines are shared with the directory cache, not copied.
void SendListing(RFTPSComInterp& s, RDirLinesPtr lines, const std::string& dir);
void SendNextLine(RFTPSComInterp& s, int status);

}  // namespace vantor
