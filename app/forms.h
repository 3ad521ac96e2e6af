#pragma once

class TMAIN;
class TRS232;
class TRSADDERS;
class TPOWER_TEST;
class TTYP;
class TERR;
class TOVERVIEW;
class SharedLine;

// The six windows of the tool, created once by CreateForms and kept until exit.
// Handlers of one window read and write controls of another through these.
extern TMAIN *MAIN;
extern TRS232 *RS232;
extern TRSADDERS *RSADDERS;
extern TPOWER_TEST *POWER_TEST;
extern TTYP *TYP;
extern TERR *ERR;
// The overview, made by the main window's "总览" button on first use.
extern TOVERVIEW *OVERVIEW;

// The tool's line as the windows that share it see it: made by CreateForms,
// handed to each window that borrows the line or asks who is using it.
SharedLine *ToolLine();

// Creates the six windows in their fixed order, all hidden.
void CreateForms();

// Destroys them again (the tool itself never does; tests may).
void DestroyForms();
