'use strict';
// Run before `npm pack`: a package without relauncher's executables would install and
// then fail at the first hand-over with ENOENT, far from the mistake.

const fs = require('fs');
const path = require('path');

const missing = ['relauncher.exe', 'relauncherw.exe', 'relauncher-linux-x64']
  .map((name) => path.join(__dirname, 'bin', name))
  .filter((file) => !fs.existsSync(file));
if (missing.length > 0) {
  process.stderr.write(`relauncher: cannot pack without the executables: ${missing.join(', ')} missing.\n`
    + 'Build them (the windows and linux presets) and copy them to bin/, '
    + 'or pack through scripts/release.sh, which does both.\n');
  process.exit(1);
}
