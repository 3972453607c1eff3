// Drives the Lumagate page of LuCI in Debian's headless Chromium, over the
// DevTools protocol on a pipe (no port opens), and checks the router behind
// it after each step. Run inside the rig by scripts/test-luci:
//   node tests/ops/luci-page.mjs ROUTER-ROOT OUT-DIR
// LUCI_LOGIN is root's password, APP_LOGIN that of a user holding only the
// page's rights, CLIENT_PASSWORD the simulator's. OUT-DIR gets page.png and
// chromium.log.
import { execFileSync, spawn } from 'node:child_process';
import { mkdtempSync, openSync, readFileSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';

const [ root, out ] = process.argv.slice(2);
const { LUCI_LOGIN: login, APP_LOGIN: appLogin, CLIENT_PASSWORD: password } = process.env;
const site = 'http://127.0.0.1:8080/cgi-bin/luci';
const sleep = ms => new Promise(done => setTimeout(done, ms));
const rig = command => execFileSync('chroot', [ root, '/bin/sh', '-c', command ],
	{ encoding: 'utf8', stdio: [ 'ignore', 'pipe', 'pipe' ] }).trim();
const quote = text => JSON.stringify(text);
// A ubus call on the router, its arguments never through a shell.
const ubus = (object, method, args) => JSON.parse(execFileSync('chroot',
	[ root, '/bin/ubus', 'call', object, method, JSON.stringify(args) ], { encoding: 'utf8' }) || '{}');

// Nothing in the background, no name resolved: only the rig's loopback.
const profile = mkdtempSync(join(out, 'chromium-'));
const browser = spawn('/usr/lib/chromium/chromium', [
	'--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
	'--disable-background-networking', '--disable-component-update', '--disable-sync',
	'--disable-dev-shm-usage', '--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1', `--user-data-dir=${profile}`,
	'--window-size=1000,900', '--remote-debugging-pipe', 'about:blank'
], { stdio: [ 'ignore', 'ignore', openSync(join(out, 'chromium.log'), 'w'), 'pipe', 'pipe' ] });
// The rig ends what else is left.
function finish(code) {
	browser.removeAllListeners('exit');
	process.exit(code);
}
setTimeout(() => { console.log('FAILED: the page test ran out of its 300 s'); finish(1); }, 300000).unref();

// The protocol: JSON messages ended by a NUL, in on fd 3, out on fd 4.
const waiting = new Map();
let lastId = 0, buffered = '';
browser.stdio[4].setEncoding('utf8');
browser.stdio[4].on('data', chunk => {
	buffered += chunk;
	for (let end; (end = buffered.indexOf('\0')) >= 0; buffered = buffered.slice(end + 1)) {
		const message = JSON.parse(buffered.slice(0, end));
		const call = waiting.get(message.id);
		waiting.delete(message.id);
		if (message.error) call?.reject(new Error(`${call.method}: ${message.error.message}`));
		else call?.resolve(message.result);
	}
});
browser.on('exit', code => { console.log(`FAILED: Chromium ended (${code}), see chromium.log`); finish(1); });
function send(method, params = {}, sessionId = undefined) {
	browser.stdio[3].write(JSON.stringify({ id: ++lastId, method, params, sessionId }) + '\0');
	return new Promise((resolve, reject) => waiting.set(lastId, { method, resolve, reject }));
}

// The browser's own tab, in front: one behind would draw nothing, and a
// dropdown opens only as it is drawn.
await until(async () => (await send('Target.getTargets')).targetInfos.some(target => target.type == 'page'));
const { targetId } = (await send('Target.getTargets')).targetInfos.find(target => target.type == 'page');
const { sessionId } = await send('Target.attachToTarget', { targetId, flatten: true });
const page = (method, params) => send(method, params, sessionId);
await page('Page.bringToFront');

async function evaluate(expression) {
	const { result, exceptionDetails } = await page('Runtime.evaluate',
		{ expression, awaitPromise: true, returnByValue: true });
	if (exceptionDetails) throw new Error(exceptionDetails.exception?.description ?? exceptionDetails.text);
	return result.value;
}
// Waits for `test` (an expression in the page, or a function here) to hold.
async function until(test, seconds = 20) {
	const holds = typeof test == 'function' ? test : () => evaluate(test);
	for (const deadline = Date.now() + seconds * 1000; Date.now() < deadline; await sleep(250))
		if (await Promise.resolve().then(holds).catch(() => false)) return;
	throw new Error(`not within ${seconds} s: ${test}`);
}
const onRouter = command => () => { rig(command); return true; };
// Opens a page, and waits for it rather than for the one before.
async function open(path) {
	await evaluate('window.leaving = true');
	await page('Page.navigate', { url: site + path });
	await until('!window.leaving && document.readyState == "complete"');
}
// Clicks where a person would, once the element is the one there and keeps
// its place (a dropdown opens in steps).
async function click(selector) {
	const where = `(e => { e?.scrollIntoView({ block: 'nearest' }); const r = e?.getBoundingClientRect();
		const x = r?.x + r?.width / 2, y = r?.y + r?.height / 2, hit = r && document.elementFromPoint(x, y);
		return hit && (e.contains(hit) || hit.control == e) ? { x, y } : null; })(document.querySelector(${quote(selector)}))`;
	let at = null, last = null;
	await until(async () => {
		[ last, at ] = [ at, await evaluate(where) ];
		return at && last && at.x == last.x && at.y == last.y;
	}, 5);
	for (const type of [ 'mousePressed', 'mouseReleased' ])
		await page('Input.dispatchMouseEvent', { type, ...at, button: 'left', clickCount: 1 });
}

// Types into a field as a person would, key by key (LuCI checks a field
// as its keys come), after emptying it.
async function type(selector, text) {
	await click(selector);
	await evaluate(`document.querySelector(${quote(selector)}).select()`);
	for (const [ key, code ] of [ [ 'Backspace', 8 ], ...[ ...text ].map(key => [ key ]) ]) {
		await page('Input.dispatchKeyEvent', { type: code ? 'rawKeyDown' : 'keyDown', key, text: code ? undefined : key, windowsVirtualKeyCode: code });
		await page('Input.dispatchKeyEvent', { type: 'keyUp', key, windowsVirtualKeyCode: code });
	}
	await until(`document.querySelector(${quote(selector)}).value == ${quote(text)}`, 2);
}
const field = option => `[id="widget.cbid.lumagatec.main.${option}"], [data-widget-id="widget.cbid.lumagatec.main.${option}"]`;
const shown = name => `document.querySelector('[data-status=${name}]')?.textContent`;
const saveAndApply = () => click('.cbi-page-actions .cbi-button-apply');
const uciFile = () => rig('cat /etc/config/lumagatec');
const client = () => rig('client-pid || true');
const clientSwitches = () => rig(`tr "\\0" " " </proc/${client()}/cmdline`);

async function screenshot(name) {
	const { contentSize } = await page('Page.getLayoutMetrics');
	const { data } = await page('Page.captureScreenshot', { format: 'png', captureBeyondViewport: true,
		clip: { x: 0, y: 0, width: 1000, height: Math.ceil(contentSize.height), scale: 1 } });
	writeFileSync(join(out, name), Buffer.from(data, 'base64'));
}

let passed = 0, failed = 0;
async function check(name, steps) {
	try {
		await steps();
		passed++;
		console.log(`ok: ${name}`);
	} catch (error) {
		failed++;
		await screenshot(`failed-${passed + failed}.png`).catch(() => {});
		const text = await evaluate(`location.href + '\\n' + document.body.innerText`).catch(() => '');
		console.log(`FAILED: ${name}${`\n${error.message}\nthe page: ${text.slice(0, 600)}`.replaceAll('\n', '\n  | ')}`);
	}
}
function expect(holds, what) {
	if (!holds) throw new Error(what);
}

// OpenWrt 25.12 on; luci-base's files are in place, not its package.
await check('apk installs the .apk', async () => {
	rig(`apk add --initdb --allow-untrusted
		apk mkpkg --info name:luci-base --info version:26.0 --info arch:noarch --output /tmp/luci-base.apk &&
		apk add --allow-untrusted /tmp/luci-base.apk /tmp/pkg/x86_64/lumagatec-*.apk \
			/tmp/pkg/noarch/luci-app-lumagatec-*.apk`);
	await until(onRouter('ubus list luci.lumagatec'), 10);
	const fields = rig('apk adbdump /tmp/pkg/noarch/luci-app-lumagatec-*.apk');
	expect(/arch: noarch\n[^]*depends:.*\n *- luci-base\n *- lumagatec\n/.test(fields), fields.slice(0, 600));
});

await check('root logs in, the page is under Services', async () => {
	await open('/');
	// The theme moves the form into a dialog, then focuses the password.
	await until('document.activeElement?.id == "luci_password"');
	await type('#luci_password', login);
	await click('button.cbi-button-positive');
	await until(`document.querySelector('a[href$="/admin/services/lumagatec"]')`);
	await open('/admin/services/lumagatec');
	await until(`${shown('running')} == 'Not running'`);
});

// What the service refuses, and what it takes, as typed into the page.
const values = [
	[ 'server', '0x7f.1', false ], [ 'server', '010.001.002.003', false ], [ 'server', 'key server', false ],
	[ 'server', '::ffff:10.99.0.1', false ], [ 'server', `${'a'.repeat(250)}.net`, false ],
	[ 'server', '10.99.0.1', true ], [ 'server', `${'a'.repeat(63)}.`.repeat(3) + 'a'.repeat(61), true ],
	[ 'log_file', '/etc/profile.d/lumagate.sh', false ], [ 'log_file', '/var/log/lumagatec/../x', false ],
	[ 'log_file', '/var/log/lumagatec/client.log', true ],
	[ 'hours', '06:00-06:00', false ], [ 'hours', '22:00-02:00,01:00-03:00', false ], [ 'hours', '22:00-02:00,12:00-13:00', true ]
];
await check('values the service refuses are marked and never saved', async () => {
	const before = uciFile();
	for (const [ option, value, taken ] of values) {
		await type(field(option), value);
		const invalid = await evaluate(`document.querySelector(${quote(field(option))}).classList.contains('cbi-input-invalid')`);
		expect(invalid != taken, `${option} ${value.slice(0, 40)}: marked ${invalid ? 'invalid' : 'valid'}`);
	}
	await type(field('server'), values[0][1]);
	await saveAndApply();
	await sleep(3000);
	expect(uciFile() == before, `the settings changed:\n${uciFile()}`);
	expect(!rig('uci changes lumagatec; cat /var/run/rpcd/uci-*/lumagatec 2>/dev/null || true'), 'changes are staged');
});

await check('Save & Apply writes the settings, the password its own file, and the client runs with them', async () => {
	await open('/admin/services/lumagatec');
	await until(`document.querySelector(${quote(field('server'))})`);
	await click(field('enabled'));
	await until(`document.querySelector(${quote(field('enabled'))}).checked`, 2);
	await type(field('server'), '10.99.0.1');
	await click('#cbi-lumagatec-main-mode .cbi-dropdown');
	await click('#cbi-lumagatec-main-mode ul.dropdown li[data-value="LOCAL"]');
	await until(`document.querySelector('#cbi-lumagatec-main-mode li[selected][data-value="LOCAL"]')`, 2);
	await type(field('log_file'), '/var/log/lumagatec/client.log');
	await type(field('password'), password);
	await saveAndApply();
	await until(onRouter('grep -q "10.99.0.1" /etc/config/lumagatec'), 30);
	const settings = uciFile();
	for (const line of [ "option enabled '1'", "option server '10.99.0.1'", "option mode 'LOCAL'" ])
		expect(settings.includes(line), `no ${line} in\n${settings}`);
	expect(rig('stat -c "%a %U %G" /etc/lumagatec/password') == '640 root lumagatec',
		'the password file is not for root and the client alone');
	expect(rig('cat /etc/lumagatec/password') == password, 'the password file holds another password');
	await until(() => / -s 10\.99\.0\.1 -m LOCAL -l \/var\/log\/lumagatec\/client\.log /.test(clientSwitches() + ' '), 30);
	await until(onRouter('/sbin/logread -e lumagatec | grep -q GOOD'), 30);
	// The client, as its own user, writes its file in its own folder.
	await until(onRouter('grep -q GOOD /var/log/lumagatec/client.log'), 10);
	expect(rig('stat -c "%U" /var/log/lumagatec/client.log /proc/$(client-pid)') == 'lumagatec\nlumagatec',
		'the client or its log file is not the client\'s own user\'s');
});

await check('the password is never in the settings nor on the page', async () => {
	// UCI's files, rpcd's staged changes, and what the page is sent.
	expect(!rig(`grep -rlF ${quote(password)} /etc/config /tmp/.uci /var/run/rpcd 2>/dev/null || true`),
		'the password is in the settings');
	expect(!rig('ubus call luci.lumagatec status').includes(password), 'the state tells the password');
	const onPage = `(() => document.documentElement.outerHTML.includes(${quote(password)}) ||
		[...document.querySelectorAll('input')].some(i => i.value.includes(${quote(password)})))()`;
	expect(!await evaluate(onPage), 'the page shows the password after saving');
	await open('/admin/services/lumagatec');
	await until(`${shown('good')}?.includes('GOOD')`);
	expect(!await evaluate(onPage), 'the page shows the password');
});

// The server's GOOD repeats every 5 s: the client, quiet, writes it again
// once a minute.
await check('the state: running, the server in use, the last GOOD, refreshed', async () => {
	await until(`${shown('running')}.startsWith('Running')`);
	await until(`${shown('server')} == '10.99.0.1'`);
	const good = await evaluate(shown('good'));
	await until(`${shown('good')} != ${quote(good)}`, 75);
});

await check('stop, start and restart from the page', async () => {
	await click('[data-action=stop]');
	await until(() => !client(), 15);
	await until(`${shown('running')} == 'Not running'`);
	await click('[data-action=start]');
	await until(client, 15);
	const pid = client();
	await click('[data-action=restart]');
	await until(() => client() && client() != pid, 15);
	await until(`${shown('running')}.includes(${quote(client())})`);
});

await check('a new password from the page alone restarts the client, a refusal shows as the last failure', async () => {
	for (const [ given, verdict, access, refusal ] of [ [ 'not the password', 'failure', 'not let in', 'SORRY' ],
		[ password, 'good', 'let in', 'none' ] ]) {
		const pid = client();
		const before = await evaluate(shown(verdict));
		await type(field('password'), given);
		await saveAndApply();
		await until(onRouter(`[ "$(cat /etc/lumagatec/password)" = ${quote(given)} ]`), 15);
		await until(() => client() && client() != pid, 15);
		await until(`${shown(verdict)} != ${quote(before)}`, 30);
		await until(`${shown('access')} == ${quote(access)} && ${shown('refusal')}.includes(${quote(refusal)})`, 10);
	}
	expect((await evaluate(shown('failure'))).includes('SORRY'), 'the refusal is not the last failure');
});

// Quiet, the client writes a repeated GOOD as a note once a minute: the log
// view takes it for a fresh GOOD, and no note of the client's for a failure.
await check('the log view: a repeated GOOD is a fresh one, a note no failure', async () => {
	const good = 'GOOD access granted (LOCAL)';
	const logs = [
		[ [ [ 661, good ], [ 5, '(the last server line came 9 times more)' ] ], status => Date.now() / 1000 - status.good.time < 60 ],
		[ [ [ 5, good ], [ 4, '(3 server lines held back)' ], [ 3, 'Refused 4 times in a row: next try in 10 s.' ] ], status => !status.failure ],
		[ [ [ 5, good ], [ 3, '/usr/libexec/lumagatec/run-hooks let-in ended with exit code 0.' ] ], status => !status.failure ]
	];
	rig('mv /sbin/logread /sbin/logread.real; printf "#!/bin/sh\\ncat /tmp/fake-log\\n" >/sbin/logread; chmod +x /sbin/logread');
	try {
		for (const [ lines, holds ] of logs) {
			rig(`cat >/tmp/fake-log <<'EOF'\n${lines.map(([ age, text ]) =>
				`[${Math.floor(Date.now() / 1000) - age}.0] daemon.info lumagatec[${client()}]: ${text}`).join('\n')}\nEOF`);
			expect(holds(ubus('luci.lumagatec', 'status', {})), `not so: ${lines.at(-1)[1]}`);
		}
	} finally {
		rig('mv /sbin/logread.real /sbin/logread');
	}
});

await check('a screenshot of the page', async () => {
	await open('/admin/services/lumagatec');
	await until(`${shown('good')}?.includes('GOOD') && ${shown('access')} == 'let in'`, 30);
	await screenshot('page.png');
});

// The access is the client's state file's word: not a stale one, nor one of
// another process, nor a line that any program may put into the system log.
await check('the Access follows the state file, not a forged line in the system log', async () => {
	const pid = client(), utc = age => new Date(Date.now() - age * 1000).toISOString().replace(/\.[0-9]+Z$/, 'Z');
	const files = [
		[ { state: 'let-in', last_good: utc(3) }, 'let in' ], [ { state: 'let-in', last_good: utc(11) }, 'not let in' ],
		[ { state: 'let-in', last_good: utc(3), pid: 1 }, 'not let in' ], [ { state: 'refused', last_good: utc(3) }, 'not let in' ]
	];
	// The client, held, writes nothing meanwhile.
	rig(`kill -STOP ${pid}; logger -t 'lumagatec[${pid}]' 'GOOD access granted (LOCAL)'`);
	try {
		for (const [ keys, access ] of files) {
			const state = Object.entries({ since: utc(9), interval: 5, pid, ...keys }).map(([ key, value ]) => `${key}=${value}\n`);
			rig(`printf %b ${quote(state.join(''))} >/var/run/lumagatec/lumagatec.state`);
			expect(ubus('luci.lumagatec', 'status', {}).access == access, `not ${access}: ${state.join(' ')}`);
		}
		rig('rm /var/run/lumagatec/lumagatec.state; mkfifo /var/run/lumagatec/lumagatec.state');
		expect(ubus('luci.lumagatec', 'status', {}).access == 'not let in', 'a FIFO at the state file\'s path');
		await until(`${shown('access')} == 'not let in'`, 10);
	} finally {
		rig(`kill -CONT ${pid}`);
	}
});

// What a Key-server (or whoever answers on the gateway), a local process
// writing to syslog, or a LuCI user writing UCI sends is shown, never run.
await check('markup from the server, the system log and UCI shows as text and runs nothing', async () => {
	const markup = n => `<img/src=x/onerror=window.ran=${n}>`;
	rig(`uci set lumagatec.main.mode='${markup(1)}'; uci commit lumagatec; reload_config`);
	await until(onRouter(`/sbin/logread -e lumagatec | grep -qF 'GOOD access granted (${markup(1)})'`), 30);
	rig(`logger -t lumagatec 'SORRY ${markup(2)}'; uci set lumagatec.main.server='${markup(3)}'; uci commit lumagatec`);
	await open('/admin/services/lumagatec');
	await until(`${shown('good')}?.includes(${quote(markup(1))}) && ${shown('failure')}?.includes(${quote(markup(2))})`, 15);
	expect(await evaluate(`document.querySelector(${quote(field('server'))}).value`) == markup(3), 'the server is not shown as set');
	expect(await evaluate('window.ran === undefined && !document.querySelector("img[src=x]")'), 'markup became part of the page');
	rig(`uci set lumagatec.main.mode=LOCAL; uci set lumagatec.main.server=10.99.0.1; uci commit lumagatec; reload_config`);
	await until(() => / -m LOCAL /.test(clientSwitches()), 15);
});

// A LuCI user granted this page's rights alone may write every option of
// the settings: the service refuses what would reach beyond the client's
// own user, and the plug-in what the page never sends.
await check('a user with the page\'s rights alone reaches nothing of root\'s', async () => {
	rig('md5sum /etc/config/network /etc/lumagatec/password >/tmp/planted.md5');
	const { ubus_rpc_session } = ubus('session', 'login', { username: 'luma', password: appLogin });
	const as = (object, method, args = {}) => ubus(object, method, { ubus_rpc_session, ...args });
	const attacks = [
		[ { log_file: '/etc/profile.d/lumagate.sh', server: 'x;id>/tmp/p;#' }, 'server log_file' ],
		[ { log_file: '/var/log/lumagatec/../../../etc/config/network' }, 'log_file' ],
		[ { password_file: '/etc/shadow' }, 'password_file' ],
		[ { server: '::ffff:10.99.0.1', mode: 'WORLD\nid' }, 'server mode' ],
		[ { mode: [ 'x y', 'WORLD' ] }, 'mode' ], [ { hours: '06:00-24:30' }, 'hours' ], [ { hours: '22:00-02:00,01:00-03:00' }, 'hours' ]
	];
	const pid = client();
	for (const [ values, refused ] of attacks) {
		const lines = +rig('/sbin/logread -e lumagatec | wc -l');
		as('uci', 'set', { config: 'lumagatec', section: 'main', values });
		as('uci', 'apply', { rollback: false });
		await until(onRouter(`/sbin/logread -e lumagatec | tail -n +${lines + 1} | grep -qF 'refused settings: ${refused}:'`), 15);
		rig('uci revert lumagatec; uci -q delete lumagatec.main.password_file; uci -q delete lumagatec.main.hours; uci set lumagatec.main.log_file=/var/log/lumagatec/client.log; ' +
			'uci set lumagatec.main.server=10.99.0.1; uci set lumagatec.main.mode=LOCAL; uci commit lumagatec');
	}
	expect(as('luci.lumagatec', 'service', { action: 'status; touch /tmp/ran' }).error, 'an unknown action ran');
	const inode = rig('stat -c %i /etc/lumagatec/password');
	expect(as('luci.lumagatec', 'set_password', { password: 'x'.repeat(64) }).error, 'a 64-byte password was taken');
	expect(rig('md5sum -c /tmp/planted.md5 >/dev/null && ls /tmp/p /tmp/ran /etc/profile.d/lumagate.sh 2>&1 | grep -c "No such"') == '3',
		'a planted file changed, or a command ran');
	expect(client() == pid && rig(`stat -c %u /proc/${pid}`) != '0', 'the client did not go on as its own user');
	expect(ubus('luci.lumagatec', 'status', {}).access == 'let in', 'a refused start counts as a lost access');
	const rpcd = rig('pidof rpcd'), trace = join(out, 'password.trace');
	const tracer = spawn('strace', [ '-f', '-qq', '-y', '-o', trace, '-e', 'trace=fsync,fdatasync,sync,rename,renameat,renameat2', '-p', rpcd ]);
	await until(onRouter(`grep -q '^TracerPid:[[:space:]]*[1-9]' /proc/${rpcd}/status`), 10);
	expect(as('luci.lumagatec', 'set_password', { password }).result && rig('stat -c %i /etc/lumagatec/password') != inode,
		'the password file is written in place, not anew');
	await new Promise(done => tracer.on('exit', done).kill());
	expect(/(sync\(\d+<[^>]*\/password\.new>|\bsync\()\)[^]*rename\w*\(.*"\/etc\/lumagatec\/password\.new"/.test(readFileSync(trace, 'utf8')),
		'the new password file was renamed before its data reached storage');
	const listed = as('file', 'list', { path: '/etc/lumagatec' }).entries?.find(entry => entry.name == 'password');
	expect(listed?.size == 64, `the password file's size, listed to every LuCI user, is ${listed?.size}`);
});

console.log(`luci-page: ${passed} passed, ${failed} failed`);
finish(failed ? 1 : 0);
