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
}

export function when(iso) {
  return iso ? new Date(iso).toLocaleString() : '';
}
