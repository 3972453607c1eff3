'use strict';
'require view';
'require form';
'require poll';
'require rpc';
'require uci';
'require ui';

const PASSWORD_FILE = '/etc/lumagatec/password';

// Without an account: main's.
const callStatus = rpc.declare({
	object: 'luci.lumagatec',
	method: 'status',
	params: [ 'account' ]
});

const callSetPassword = rpc.declare({
	object: 'luci.lumagatec',
	method: 'set_password',
	params: [ 'password', 'account' ]
});

// The router's logical interfaces, for an account's uplink: their names
// and states alone, none of the network's settings.
const callInterfaces = rpc.declare({
	object: 'network.interface',
	method: 'dump',
	expect: { interface: [] }
});

const callService = rpc.declare({
	object: 'luci.lumagatec',
	method: 'service',
	params: [ 'action' ]
});

// The page refuses what the service refuses (its init script checks every
// setting again), so that what it saves also starts.

const LOG_FOLDER = '/var/log/lumagatec/';

function byteLength(text) {
	return new TextEncoder().encode(text).length;
}

function isPlainDottedQuad(text) {
	const part = '(25[0-5]|2[0-4][0-9]|1[0-9][0-9]|[1-9]?[0-9])';
	return new RegExp(`^${part}(\\.${part}){3}$`).test(text);
}

// One to four numbers joined by dots, each decimal, octal or 0x
// hexadecimal: what an address reader takes as an address. 010.0.0.1 is
// 8.0.0.1 to it, 0x7f.1 and 2130706433 are 127.0.0.1.
function readsAsNumber(text) {
	const number = '(0[xX][0-9a-fA-F]*|[0-9]+)';
	return new RegExp(`^(${number}(\\.${number}){0,3}|[0-9.]+)$`).test(text);
}

// Labels of letters, digits, '-' and '_' joined by dots, all but the last
// at most 63 long: OpenWrt's own rule for a host name.
function isHostName(text) {
	const labels = text.split('.');
	return labels.every((label, i) => /^[A-Za-z0-9_-]+$/.test(label) && (i == labels.length - 1 || label.length <= 63));
}

function validateServer(section_id, value) {
	if (value == '' || isPlainDottedQuad(value))
		return true;
	if (byteLength(value) > 253)
		return _('A host name has at most 253 characters.');
	if (readsAsNumber(value))
		return _('Give a host name or a plain dotted quad: four numbers from 0 to 255 without leading zeros.');
	if (!isHostName(value))
		return _('A host name holds letters, digits, "-" and "_", in parts of at most 63 joined by dots; IPv6 is not spoken.');
	return true;
}

function validateMode(section_id, value) {
	if (!/^[!-~]*$/.test(value))
		return _('The access mode holds visible characters alone: no blanks, no control characters.');
	if (byteLength(value) > 721)
		return _('The access mode is too long for an answer to the Key-server.');
	return true;
}

// The server and the access mode, alike for main and every account.
function serverAndMode(s, serverHelp) {
	let o = s.option(form.Value, 'server', _('Key-server'), serverHelp);
	o.placeholder = _('discover');
	o.validate = validateServer;

	o = s.option(form.Value, 'mode', _('Access mode'));
	o.value('WORLD');
	o.value('LOCAL');
	o.value('NONE');
	o.default = 'WORLD';
	o.rmempty = false;
	o.validate = validateMode;
}

function validateLogFile(section_id, value) {
	if (value != '' && !new RegExp(`^${LOG_FOLDER}[A-Za-z0-9_-][A-Za-z0-9._-]*$`).test(value))
		return _('A log file is a name in %s, of letters, digits, ".", "-" and "_".').format(LOG_FOLDER);
	if (byteLength(value) > 200)
		return _('The log file\'s name is too long.');
	return true;
}

function minutes(time) {
	return +time.slice(0, 2) * 60 + +time.slice(3);
}

// Daily windows, each of some length and apart from the others.
function validateHours(section_id, value) {
	const time = '([01][0-9]|2[0-3]):[0-5][0-9]', window = `${time}-(${time}|24:00)`;
	const taken = [];

	if (value == '')
		return true;
	if (!new RegExp(`^${window}(,${window})*$`).test(value) || value.length > 119)
		return _('Up to ten windows such as 06:00-23:30, joined by commas without blanks.');
	for (const part of value.split(',')) {
		const [ from, to ] = part.split('-').map(minutes);
		const spans = from < to ? [ [ from, to ] ] : [ [ from, 1440 ], [ 0, to ] ];

		if (from == to)
			return _('The window %s has no length.').format(part);
		if (spans.some(([ a, b ]) => taken.some(([ c, d ]) => a < d && c < b)))
			return _('The window %s overlaps another.').format(part);
		taken.push(...spans);
	}
	return true;
}

function validatePassword(section_id, value) {
	if (/[\r\n\0]/.test(value))
		return _('The password is a single line.');
	if (byteLength(value) > 63)
		return _('The password has at most 63 bytes.');
	return true;
}

// What the server, the log, UCI or a command said goes in as text, never
// as markup: E() takes a bare string child for HTML.
function text(value) {
	return [ String(value ?? '') ];
}

function when(seconds) {
	return new Date(seconds * 1000).toLocaleString();
}

function logEntry(entry) {
	if (!entry)
		return E('em', {}, text(_('none yet')));

	return [ when(entry.time), ': ', E('code', {}, text(entry.text)) ];
}

// The client's own state, as its state file says.
function stateText(status) {
	const states = {
		'connecting': _('connecting since %s'),
		'let-in': _('let in since %s'),
		'refused': _('refused since %s'),
		'lost': _('connection lost since %s'),
		'waiting-hours': _('outside the allowed hours since %s'),
		'backing-off': _('waiting after refusals since %s')
	};
	const said = states[status.state];

	if (!said)
		return status.running ? _('not told yet') : '-';

	return said.format(when(status.since)) +
		(status.next_try ? ', ' + _('next try at %s').format(when(status.next_try)) : '');
}

function refusal(status) {
	if (!status.refusal)
		return E('em', {}, text(_('none since the client was last let in')));

	return [ E('code', {}, text(status.refusal.text)), ' ' + _('(%d in a row)').format(status.refusal.count) ];
}

function accountStatus(status) {
	const access = status.access == 'let in' ? _('let in') : _('not let in');

	return [
		E('strong', { 'data-account-status': 'access' }, text(access)), ', ',
		E('span', { 'data-account-status': 'state' }, text(stateText(status))), '; ',
		_('Key-server in use') + ': ', E('span', { 'data-account-status': 'server' }, text(status.server ?? '-')), '; ',
		_('Password') + ': ', text(status.password_set ? _('set') : _('not set: the client cannot start'))
	];
}

return view.extend({
	async load() {
		const [ status, , interfaces ] = await Promise.all([ callStatus(), uci.load('lumagatec'), callInterfaces().catch(() => []) ]);

		this.interfaces = interfaces.map(i => i.interface).filter(name => name != 'loopback');
		await this.loadAccounts();

		return [ status ];
	},

	// Each account's own state, from its own state file.
	async loadAccounts() {
		const names = uci.sections('lumagatec', 'account').map(section => section['.name']);
		const statuses = await Promise.all(names.map(name => callStatus(name)));

		this.accounts = Object.fromEntries(names.map((name, i) => [ name, statuses[i] ]));
	},

	updateAccounts() {
		for (const node of document.querySelectorAll('[data-account]')) {
			const status = this.accounts[node.getAttribute('data-account')];

			if (status)
				node.replaceChildren(...accountStatus(status));
		}
	},

	async handleService(action) {
		const reply = await callService(action);
		const status = await callStatus();

		if (reply.code !== 0)
			ui.addNotification(null, E('p', {}, text(reply.output || reply.error)), 'danger');
		else if (action != 'stop' && !status.running)
			ui.addNotification(null, E('p', {}, text(_('The client does not run: is it enabled, and saved? The system log may tell more.'))), 'warning');

		return this.updateStatus(status);
	},

	updateStatus(status) {
		const running = status.running
			? _('Running (PID %d)').format(status.pid)
			: _('Not running');
		const server = status.server ?? (status.running ? _('being discovered') : '-');
		const access = status.access == 'let in' ? _('let in') : _('not let in');

		const rows = [
			[ _('Service'), [ E('strong', { 'data-status': 'running' }, text(running)), ' ',
				...[ 'start', 'stop', 'restart' ].map(action => E('button', {
					'class': 'btn cbi-button cbi-button-action',
					'data-action': action,
					'click': ui.createHandlerFn(this, 'handleService', action)
				}, text({ start: _('Start'), stop: _('Stop'), restart: _('Restart') }[action]))) ] ],
			[ _('Access'), E('strong', { 'data-status': 'access' }, text(access)) ],
			[ _('State'), E('span', { 'data-status': 'state' }, text(stateText(status))) ],
			[ _('Key-server in use'), E('span', { 'data-status': 'server' }, text(server)) ],
			[ _('Last refusal'), E('span', { 'data-status': 'refusal' }, refusal(status)) ],
			[ _('Password'), text(status.password_set ? _('set') : _('not set: the client cannot start')) ],
			// History: any program on the router may write to the log.
			[ _('Last let in, in the system log'), E('span', { 'data-status': 'good' }, logEntry(status.good)) ],
			[ _('Last failure, in the system log'), E('span', { 'data-status': 'failure' }, logEntry(status.failure)) ]
		];

		this.statusTable.replaceChildren(...rows.map(([ title, value ]) =>
			E('tr', { 'class': 'tr' }, [
				E('td', { 'class': 'td left', 'width': '25%' }, text(title)),
				E('td', { 'class': 'td left' }, value)
			])));
	},

	// The passwords go to their own files once the form is valid, never
	// into the settings: main's, and each account's (an empty name).
	async savePassword() {
		const passwords = this.newPasswords ?? {};

		this.newPasswords = {};
		for (const [ account, password ] of Object.entries(passwords)) {
			const reply = await callSetPassword(password, account || undefined);

			if (reply.error)
				throw new Error(reply.error);

			ui.addNotification(null, E('p', {}, text(account
				? _('The new password of %s is set.').format(account)
				: _('The new password is set.'))), 'info');
		}
	},

	handleSave(ev) {
		return this.map.save(() => this.savePassword());
	},

	// A new password alone needs nothing applied: the service took it.
	async handleSaveApply(ev, mode) {
		await this.handleSave(ev);
		if (Object.keys(await uci.changes()).length)
			ui.changes.apply(mode == '0');
	},

	// One client per account, each kept on its own interface: in place of
	// main, for several lines or several accounts.
	renderAccounts(m) {
		const s = m.section(form.TypedSection, 'account', _('Accounts'),
			_('One client for each enabled account, each kept on its own interface, in place of the settings above (disable them). Names are letters, digits and _.'));
		let o;

		s.addremove = true;
		s.anonymous = false;
		s.addbtntitle = _('Add account');

		o = s.option(form.DummyValue, '_status', _('Status'));
		o.renderWidget = section_id => E('div', { 'data-account': section_id },
			this.accounts[section_id] ? accountStatus(this.accounts[section_id]) : text(_('saved and applied, it shows here')));

		o = s.option(form.Flag, 'enabled', _('Enabled'));
		o.rmempty = false;

		o = s.option(form.ListValue, 'interface', _('Interface'),
			_('The router\'s interface this account\'s connection is kept on; its going down stops this client alone.'));
		for (const name of this.interfaces)
			o.value(name);
		o.rmempty = false;

		serverAndMode(s, _('Its host name or IPv4 address; empty: the client discovers it on the interface.'));

		o = s.option(form.Value, 'password', _('Password'),
			_('Stored in /etc/lumagatec/NAME.password, readable by root and the client alone, never shown, and removed with the account. Empty: unchanged.'));
		o.password = true;
		o.cfgvalue = () => null;
		o.write = (section_id, value) => { this.newPasswords = { ...this.newPasswords, [section_id]: value }; };
		o.remove = () => {};
		o.validate = validatePassword;

		o = s.option(form.Value, 'hours', _('Hours'));
		o.placeholder = _('at all hours');
		o.validate = validateHours;

		o = s.option(form.Value, 'log_file', _('Log file'));
		o.placeholder = LOG_FOLDER + 'NAME.log';
		o.validate = validateLogFile;
	},

	render([ status ]) {
		const m = new form.Map('lumagatec');
		const s = m.section(form.NamedSection, 'main', 'lumagatec', _('Settings'));
		let o;

		this.map = m;
		s.addremove = false;

		o = s.option(form.Flag, 'enabled', _('Enabled'));
		o.rmempty = false;

		serverAndMode(s, _('Its host name or IPv4 address; empty: the client discovers it.'));

		const description = _('Stored in %s, readable by root and the client alone, and never shown. Empty: unchanged.').format(PASSWORD_FILE);

		o = s.option(form.Value, 'password', _('Password'), description);
		o.password = true;
		o.cfgvalue = () => null;
		o.write = (section_id, value) => { this.newPasswords = { ...this.newPasswords, '': value }; };
		o.remove = () => {};
		o.validate = validatePassword;

		o = s.option(form.Value, 'hours', _('Hours'),
			_('Daily windows in the router\'s time zone (System) when the client runs, such as 06:00-23:30 or 22:00-02:00,12:00-13:00; outside them it logs off. Empty: at all hours.'));
		o.placeholder = _('at all hours');
		o.validate = validateHours;

		o = s.option(form.Value, 'log_file', _('Log file'),
			_('A file in %s for the client\'s messages besides the system log; empty: none.').format(LOG_FOLDER));
		o.placeholder = LOG_FOLDER + 'lumagatec.log';
		o.validate = validateLogFile;

		o = s.option(form.Flag, 'verbose', _('Verbose'),
			_('Every line sent and received in the log too, without bound: about 23 KiB an hour, and as much more as a server sends, which pushes other messages out of a small log. Off, what a server makes the client log is held to about 10 KiB an hour.'));
		o.default = '0';
		o.rmempty = false;

		this.renderAccounts(m);

		this.statusTable = E('table', { 'class': 'table' });
		this.updateStatus(status);
		poll.add(() => callStatus().then(status => this.updateStatus(status)), 5);
		poll.add(() => this.loadAccounts().then(() => this.updateAccounts()), 5);

		// The state first, out of the form, which is drawn anew on saving.
		return m.render().then(node => E([], [
			E('h2', _('Lumagate client')),
			E('div', { 'class': 'cbi-map-descr' },
				_('Keeps the network access open: the client logs on to the Key-server and answers its challenges.')),
			E('div', { 'class': 'cbi-section' }, [ E('h3', _('Status')), this.statusTable ]),
			node
		]));
	}
});
