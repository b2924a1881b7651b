#pragma once

// Makes a console write to a closed pipe or socket fail instead of ending the process: an
// update must not stop half-way because whoever read the program's output went away (a killed
// `tee`, a dropped ssh connection, `| head`). The failed write is ignored like any other.
void keep_running_on_closed_output();
