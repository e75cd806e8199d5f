// Small helpers that build elements from data without ever parsing it as markup.
export function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name.startsWith('on')) {
      node.addEventListener(name.slice(2), value);
    } else if (value === true) {
      node.setAttribute(name, '');
    } else if (value !== false && value !== undefined && value !== null) {
      node.setAttribute(name, String(value));
    }
  }
  for (const child of children.flat()) {
    if (child !== null && child !== undefined && child !== false) {
      node.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
  }
  return node;
}

export function show(...nodes) {
  document.getElementById('app').replaceChildren(...nodes);
  window.scrollTo(0, 0);
  const heading = document.querySelector('#app h1');
  if (heading) {
    // A new page: screen readers start at its heading.
    heading.setAttribute('tabindex', '-1');
    heading.focus({ preventScroll: true });
  }
}

// A line of feedback beside a control: "pending", "ok", "info" or "failed".
export function feedback() {
  const node = el('p', { class: 'feedback', role: 'status', 'aria-live': 'polite' });
  node.say = (tone, text) => {
    node.className = `feedback ${tone}`;
    node.textContent = text;
  };
  return node;
}

// Asks before a step that cannot be taken back; resolves true when the person goes on.
export function ask(title, text, goLabel) {
  return new Promise((resolve) => {
    const dialog = el('dialog', { class: 'confirm', 'aria-labelledby': 'confirm-title' });
    const close = (answer) => {
      dialog.close();
      dialog.remove();
      resolve(answer);
    };
    dialog.append(
      el('h2', { id: 'confirm-title' }, title),
      el('p', {}, text),
      el('div', { class: 'row' },
        el('button', { type: 'button', class: 'quiet', onclick: () => close(false) }, 'Cancel'),
        el('button', { type: 'button', class: 'danger', onclick: () => close(true) }, goLabel)),
    );
    dialog.addEventListener('cancel', (event) => {
      event.preventDefault();
      close(false);
    });
    document.body.append(dialog);
    dialog.showModal();
  });
}
